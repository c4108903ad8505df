// GIMP 2.10 file plug-in for CBMP images: "file-cbmp-load" and "file-cbmp-save", registered for
// the ".cbmp" extension, the "CBMP" magic number and the MIME type image/x-cbmp.
//
// Opening: the plug-in reads the 60-byte header, applies the pixel limit, reads exactly the
// compressed stream the header announces, decompresses it with the core library into a BMP file
// in memory (the stream is released first), writes that to a private temporary file and has
// GIMP's own BMP plug-in ("file-bmp-load") open it. So every layout the BMP plug-in knows opens
// from a CBMP file too, pixel for pixel. Peak memory in this process: the stream, then the BMP
// file; the image itself lives in GIMP.
//
// Exporting: GIMP's BMP plug-in ("file-bmp-save", in the same run mode, so an interactive export
// shows its options and flattens what it must) writes a temporary BMP file, and the core library
// compresses it into the destination, which is replaced only once the new file is complete.
//
// Pixel limit: an image of more than CBMP_VIEWER_MAX_PIXELS (89,478,485) pixels, the viewers'
// common limit, is refused from its header before anything is decoded (see
// addons/common/cbmp_bounds.h for how the header is read and what else is bounded).
//
// With CBMP_GIMP_REPORT_RSS set in the environment, each call prints "plug-in peak RSS: <n> KiB" of
// this process to the standard error (for the bomb tests: GIMP runs the plug-in as a process of its
// own).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <libgimp/gimp.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "addons/common/cbmp_bounds.h"
#include "core/cbmpcore.h"

namespace {

constexpr char kLoadProcedure[] = "file-cbmp-load";
constexpr char kSaveProcedure[] = "file-cbmp-save";

struct GFree {
    void operator()(void* memory) const { g_free(memory); }
};
struct CoreFree {
    void operator()(std::uint8_t* bytes) const { cbmpcore_free(bytes); }
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// A temporary file name in GIMP's own temporary folder, removed when it goes out of scope.
class TemporaryFile {
  public:
    TemporaryFile() : name_(gimp_temp_name("bmp")) {}
    ~TemporaryFile() {
        if (name_) {
            unlink(name_.get());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const char* name() const { return name_.get(); }

  private:
    std::unique_ptr<char, GFree> name_;
};

// The outcome of a call: success, or the message GIMP shows.
struct Outcome {
    GimpPDBStatusType status = GIMP_PDB_SUCCESS;
    std::string message;
    gint32 image = -1;
};

Outcome failure(std::string message, GimpPDBStatusType status = GIMP_PDB_EXECUTION_ERROR) {
    return {status, std::move(message), -1};
}

bool write_all(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Runs a procedure of GIMP's BMP plug-in; its values are destroyed before returning.
Outcome run_bmp_procedure(const char* procedure, std::vector<GimpParam> arguments) {
    gint count = 0;
    GimpParam* values = gimp_run_procedure2(procedure, &count, static_cast<gint>(arguments.size()),
                                            arguments.data());
    Outcome outcome;
    if (values == nullptr || count < 1) {
        outcome = failure(std::string("GIMP's BMP plug-in did not answer (") + procedure + ")");
    } else if (values[0].data.d_status != GIMP_PDB_SUCCESS) {
        outcome = failure(
            count > 1 && values[1].type == GIMP_PDB_STRING && values[1].data.d_string != nullptr
                ? values[1].data.d_string
                : std::string(procedure) + " failed",
            values[0].data.d_status);
    } else if (count > 1 && values[1].type == GIMP_PDB_IMAGE) {
        outcome.image = values[1].data.d_image;
    }
    gimp_destroy_params(values, count);
    return outcome;
}

Outcome load(const char* filename) {
    Fd input{open(filename, O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    if (input.fd < 0) {
        return failure(std::string("Could not open '") + filename +
                       "' for reading: " + std::strerror(errno));
    }
    auto read_some = [&input](std::uint8_t* into, std::size_t count) -> long {
        ssize_t got;
        do {
            got = read(input.fd, into, count);
        } while (got < 0 && errno == EINTR);
        return static_cast<long>(got);
    };
    auto file = cbmp_addon::read_bounded(read_some, cbmp_addon::Limits{}, false);
    using Status = cbmp_addon::BoundedRead::Status;
    switch (file.status) {
        case Status::kOk:
        case Status::kHeaderOnly:
            break;
        case Status::kNotCbmp:
            return failure(cbmpcore_result_text(file.core));
        case Status::kRefused:
            return failure(std::string("CBMP image refused: ") + verdict_text(file.verdict));
        case Status::kTruncated:
            return failure("The CBMP file ends too early");
        case Status::kReadError:
            return failure(std::string("Could not read the CBMP file: ") + std::strerror(errno));
        case Status::kNoMemory:
            return failure("Not enough memory to read the CBMP file");
    }
    close(input.fd);
    input.fd = -1;

    std::uint8_t* bmp = nullptr;
    std::size_t bmp_size = 0;
    cbmpcore_result result =
        cbmpcore_decompress(file.file.data(), file.file.size(), &bmp, &bmp_size, nullptr);
    std::vector<std::uint8_t>().swap(file.file);  // the stream goes before the bitmap is written
    if (result != CBMPCORE_OK) {
        return failure(std::string("Could not read the CBMP image: ") +
                       cbmpcore_result_text(result));
    }
    std::unique_ptr<std::uint8_t, CoreFree> owned_bmp(bmp);

    // The bitmap, readable by this user alone, for GIMP's BMP plug-in.
    TemporaryFile temporary;
    {
        Fd out{open(temporary.name(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600)};
        if (out.fd < 0 || !write_all(out.fd, owned_bmp.get(), bmp_size)) {
            return failure(std::string("Could not write a temporary file: ") +
                           std::strerror(errno));
        }
    }
    owned_bmp.reset();
    std::vector<GimpParam> arguments(3);
    arguments[0].type = GIMP_PDB_INT32;
    arguments[0].data.d_int32 = GIMP_RUN_NONINTERACTIVE;
    arguments[1].type = GIMP_PDB_STRING;
    arguments[1].data.d_string = const_cast<gchar*>(temporary.name());
    arguments[2].type = GIMP_PDB_STRING;
    arguments[2].data.d_string = const_cast<gchar*>(temporary.name());
    Outcome outcome = run_bmp_procedure("file-bmp-load", std::move(arguments));
    if (outcome.status == GIMP_PDB_SUCCESS) {
        if (outcome.image < 0) {
            return failure("GIMP's BMP plug-in gave no image");
        }
        gimp_image_set_filename(outcome.image, filename);
    }
    return outcome;
}

Outcome save(GimpRunMode run_mode, gint32 image, gint32 drawable, const char* filename) {
    TemporaryFile temporary;
    std::vector<GimpParam> arguments(5);
    arguments[0].type = GIMP_PDB_INT32;
    arguments[0].data.d_int32 = run_mode;
    arguments[1].type = GIMP_PDB_IMAGE;
    arguments[1].data.d_image = image;
    arguments[2].type = GIMP_PDB_DRAWABLE;
    arguments[2].data.d_drawable = drawable;
    arguments[3].type = GIMP_PDB_STRING;
    arguments[3].data.d_string = const_cast<gchar*>(temporary.name());
    arguments[4].type = GIMP_PDB_STRING;
    arguments[4].data.d_string = const_cast<gchar*>(temporary.name());
    Outcome outcome = run_bmp_procedure("file-bmp-save", std::move(arguments));
    if (outcome.status != GIMP_PDB_SUCCESS) {
        return outcome;
    }
    cbmpcore_result result = cbmpcore_compress_file(temporary.name(), filename, nullptr);
    if (result != CBMPCORE_OK) {
        return failure(std::string("Could not write '") + filename +
                       "': " + cbmpcore_result_text(result));
    }
    return {};
}

// The kernel's high-water mark of this process's resident memory (VmHWM), which starts afresh at
// exec (getrusage's maximum would carry over GIMP's own from before the fork), and the processor
// time this process took.
void report_peak_memory() {
    if (std::getenv("CBMP_GIMP_REPORT_RSS") == nullptr) {
        return;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            std::fprintf(stderr, "file-cbmp: plug-in peak RSS: %ld KiB, processor time %.3f s\n",
                         std::stol(line.substr(6)), seconds);
        }
    }
}

void query() {
    static const GimpParamDef load_arguments[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
         const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"),
         const_cast<gchar*>("The name of the file to load")},
        {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"),
         const_cast<gchar*>("The name entered")},
    };
    static const GimpParamDef load_values[] = {
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Output image")},
    };
    static const GimpParamDef save_arguments[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
         const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image")},
        {GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"),
         const_cast<gchar*>("Drawable to export")},
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"),
         const_cast<gchar*>("The name of the file to export the image in")},
        {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"),
         const_cast<gchar*>("The name entered")},
    };
    gimp_install_procedure(
        kLoadProcedure, "Loads files of the CBMP compressed bitmap format",
        "Opens a CBMP file: a Windows bitmap compressed losslessly, read through GIMP's BMP "
        "loader.",
        "cbmp developers", "cbmp developers", "2026", "CBMP compressed bitmap", nullptr,
        GIMP_PLUGIN, G_N_ELEMENTS(load_arguments), G_N_ELEMENTS(load_values), load_arguments,
        load_values);
    gimp_register_file_handler_mime(kLoadProcedure, "image/x-cbmp");
    gimp_register_magic_load_handler(kLoadProcedure, "cbmp", "", "0,string,CBMP");

    gimp_install_procedure(
        kSaveProcedure, "Exports files in the CBMP compressed bitmap format",
        "Writes the image as GIMP's BMP exporter does, compressed losslessly into a CBMP file.",
        "cbmp developers", "cbmp developers", "2026", "CBMP compressed bitmap",
        "INDEXED, GRAY, RGB*", GIMP_PLUGIN, G_N_ELEMENTS(save_arguments), 0, save_arguments,
        nullptr);
    gimp_register_file_handler_mime(kSaveProcedure, "image/x-cbmp");
    gimp_register_save_handler(kSaveProcedure, "cbmp", "");
}

void run(const gchar* name, gint argument_count, const GimpParam* arguments, gint* value_count,
         GimpParam** values) {
    static GimpParam results[2];
    Outcome outcome;
    try {
        if (std::strcmp(name, kLoadProcedure) == 0 && argument_count >= 3) {
            outcome = load(arguments[1].data.d_string);
        } else if (std::strcmp(name, kSaveProcedure) == 0 && argument_count >= 5) {
            outcome =
                save(static_cast<GimpRunMode>(arguments[0].data.d_int32), arguments[1].data.d_image,
                     arguments[2].data.d_drawable, arguments[3].data.d_string);
        } else {
            outcome = failure("Unknown procedure or arguments", GIMP_PDB_CALLING_ERROR);
        }
    } catch (const std::exception& error) {
        outcome = failure(error.what());
    }
    report_peak_memory();

    static std::string message;
    message = outcome.message;
    *values = results;
    *value_count = 1;
    results[0].type = GIMP_PDB_STATUS;
    results[0].data.d_status = outcome.status;
    if (outcome.status != GIMP_PDB_SUCCESS) {
        *value_count = 2;
        results[1].type = GIMP_PDB_STRING;
        results[1].data.d_string = const_cast<gchar*>(message.c_str());
    } else if (std::strcmp(name, kLoadProcedure) == 0) {
        *value_count = 2;
        results[1].type = GIMP_PDB_IMAGE;
        results[1].data.d_image = outcome.image;
    }
}

}  // namespace

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, query, run};

MAIN()
