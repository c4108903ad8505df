// The C interface of the core library: argument checks, progress in the interface's terms, and
// no exception ever crossing it. The work itself is core/operations.
#include "core/cbmpcore.h"

#include <cstdlib>
#include <new>

#include "core/failure_table.h"
#include "core/operations.h"

namespace {

using cbmp::LzEvent;
using cbmp::core::Codec;

// Turns the codec's reports into the callback's: (0, total) first, (pos, total) as the work goes
// on, and (total, total) only once the whole call has succeeded.
class CallbackEvents final : public cbmp::core::CoreEvents {
  public:
    explicit CallbackEvents(const cbmpcore_options* options)
        : progress_(options != nullptr ? options->progress : nullptr),
          context_(options != nullptr ? options->progress_context : nullptr) {}

    void Progress(Codec /*codec*/, LzEvent event, std::uint32_t pos, std::uint32_t size) override {
        total_ = size;
        if (event == LzEvent::kStart || (event == LzEvent::kStep && pos > 0)) {
            progress_(context_, pos, size);
        }
    }

    void Finish(const cbmp::core::Outcome& outcome) const {
        if (outcome.ok() && progress_ != nullptr) {
            progress_(context_, total_, total_);
        }
    }

    cbmp::core::Settings Settings(const cbmpcore_options* options) {
        cbmp::core::Settings settings;
        settings.events = progress_ != nullptr ? this : nullptr;
        settings.threads = options != nullptr ? options->threads : 0;
        settings.durable = options != nullptr && options->durable != 0;
        return settings;
    }

  private:
    cbmpcore_progress_fn progress_;
    void* context_;
    std::uint32_t total_ = 0;
};

enum class Direction { kCompress, kDecompress };

cbmpcore_result Run(Direction direction, const cbmp::core::Input& input, cbmp::core::Output& output,
                    const cbmpcore_options* options,
                    const cbmp::TempFileObserver* tempFiles = nullptr) {
    try {
        CallbackEvents events(options);
        cbmp::core::Settings settings = events.Settings(options);
        settings.tempFiles = tempFiles;
        const cbmp::core::Outcome outcome = direction == Direction::kCompress
                                                ? cbmp::core::Compress(input, output, settings)
                                                : cbmp::core::Decompress(input, output, settings);
        events.Finish(outcome);
        return outcome.result;
    } catch (const std::bad_alloc&) {
        return CBMPCORE_ERROR_NO_MEMORY;
    } catch (...) {
        return CBMPCORE_ERROR_NO_MEMORY;  // nothing else is thrown: containers and strings only
    }
}

cbmpcore_result RunInMemory(Direction direction, const std::uint8_t* in, std::size_t inSize,
                            std::uint8_t** out, std::size_t* outSize,
                            const cbmpcore_options* options) {
    if ((in == nullptr && inSize > 0) || out == nullptr || outSize == nullptr) {
        return CBMPCORE_ERROR_INVALID_ARGUMENT;
    }
    static constexpr std::uint8_t kNoBytes[1] = {0};
    cbmp::core::Output output = cbmp::core::Output::Memory();
    const cbmpcore_result result =
        Run(direction, cbmp::core::Input::Memory(in != nullptr ? in : kNoBytes, inSize), output,
            options);
    if (result == CBMPCORE_OK) {
        *outSize = output.size;
        *out = output.buffer.release();
    }
    return result;
}

cbmpcore_result RunOnFiles(Direction direction, const char* inputPath, const char* outputPath,
                           const cbmpcore_options* options,
                           const cbmpcore_temp_observer* observer = nullptr) {
    if (inputPath == nullptr || outputPath == nullptr) {
        return CBMPCORE_ERROR_INVALID_ARGUMENT;
    }
    cbmp::TempFileObserver tempFiles;
    if (observer != nullptr) {
        tempFiles.created = observer->created;
        tempFiles.finished = observer->finished;
        tempFiles.context = observer->context;
    }
    cbmp::core::Output output = cbmp::core::Output::File(outputPath);
    return Run(direction, cbmp::core::Input::File(inputPath), output, options,
               observer != nullptr ? &tempFiles : nullptr);
}

}  // namespace

extern "C" {

CBMPCORE_API const char* cbmpcore_result_text(cbmpcore_result result) {
    const cbmp::core::FailureRow* row = cbmp::core::RowOf(result);
    return row != nullptr ? row->resultText : "Unknown error";
}

CBMPCORE_API const char* cbmpcore_version(void) {
#define CBMPCORE_TEXT(x) #x
#define CBMPCORE_VERSION_TEXT(a, b, c) CBMPCORE_TEXT(a) "." CBMPCORE_TEXT(b) "." CBMPCORE_TEXT(c)
    return CBMPCORE_VERSION_TEXT(CBMPCORE_VERSION_MAJOR, CBMPCORE_VERSION_MINOR,
                                 CBMPCORE_VERSION_PATCH);
#undef CBMPCORE_VERSION_TEXT
#undef CBMPCORE_TEXT
}

CBMPCORE_API cbmpcore_result cbmpcore_read_info(const uint8_t* cbmp, size_t cbmp_size,
                                                cbmpcore_info* info) {
    if (cbmp == nullptr || info == nullptr) {
        return CBMPCORE_ERROR_INVALID_ARGUMENT;
    }
    cbmp::CbmpHeader header;
    const cbmpcore_result result = cbmp::core::ReadInfo(cbmp, cbmp_size, header);
    if (result != CBMPCORE_OK) {
        return result;
    }
    info->info_header_size = header.info.biSize;
    info->width = header.info.biWidth;
    info->height = header.info.biHeight;
    info->planes = header.info.biPlanes;
    info->bit_count = header.info.biBitCount;
    info->compression = header.info.biCompression;
    info->image_size = header.info.biSizeImage;
    info->x_pixels_per_meter = header.info.biXPelsPerMeter;
    info->y_pixels_per_meter = header.info.biYPelsPerMeter;
    info->colors_used = header.info.biClrUsed;
    info->colors_important = header.info.biClrImportant;
    info->compressed_size = header.compressedSize;
    info->original_size = header.originalSize;
    info->palette_size = header.paletteSize;
    info->bmp_size = std::uint64_t{cbmp::kBmpHeadersSize} + header.originalSize;
    return CBMPCORE_OK;
}

CBMPCORE_API cbmpcore_result cbmpcore_compress(const uint8_t* bmp, size_t bmp_size,
                                               uint8_t** cbmp_out, size_t* cbmp_size_out,
                                               const cbmpcore_options* options) {
    return RunInMemory(Direction::kCompress, bmp, bmp_size, cbmp_out, cbmp_size_out, options);
}

CBMPCORE_API cbmpcore_result cbmpcore_decompress(const uint8_t* cbmp, size_t cbmp_size,
                                                 uint8_t** bmp_out, size_t* bmp_size_out,
                                                 const cbmpcore_options* options) {
    return RunInMemory(Direction::kDecompress, cbmp, cbmp_size, bmp_out, bmp_size_out, options);
}

CBMPCORE_API cbmpcore_result cbmpcore_compress_file(const char* input_path, const char* output_path,
                                                    const cbmpcore_options* options) {
    return RunOnFiles(Direction::kCompress, input_path, output_path, options);
}

CBMPCORE_API cbmpcore_result cbmpcore_decompress_file(const char* input_path,
                                                      const char* output_path,
                                                      const cbmpcore_options* options) {
    return RunOnFiles(Direction::kDecompress, input_path, output_path, options);
}

CBMPCORE_API cbmpcore_result cbmpcore_compress_file_observed(
    const char* input_path, const char* output_path, const cbmpcore_options* options,
    const cbmpcore_temp_observer* observer) {
    return RunOnFiles(Direction::kCompress, input_path, output_path, options, observer);
}

CBMPCORE_API cbmpcore_result cbmpcore_decompress_file_observed(
    const char* input_path, const char* output_path, const cbmpcore_options* options,
    const cbmpcore_temp_observer* observer) {
    return RunOnFiles(Direction::kDecompress, input_path, output_path, options, observer);
}

CBMPCORE_API void cbmpcore_free(void* buffer) {
    std::free(buffer);
}

}  // extern "C"
