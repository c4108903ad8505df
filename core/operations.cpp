#include "core/operations.h"

#include <cstdio>
#include <cstring>

#include "core/failure_table.h"
#include "image/bmp_image.h"
#include "io/input_source.h"

namespace cbmp::core {

namespace {

// The events of one operation; every method is safe to call without an observer.
class Reporter {
  public:
    explicit Reporter(const Settings& settings) : events_(settings.events) {}

    void Fail(ImageStatus cause, cbmpcore_result result, const char* path) const {
        if (events_ != nullptr) {
            events_->Failed(Failure{cause, result, path});
        }
    }
    void Fail(ImageStatus cause, const char* path) const { Fail(cause, ResultOf(cause), path); }

    // The codec's reports, told to the observer as the given codec's progress.
    const LzProgress* Progress(Codec codec) {
        if (events_ == nullptr) {
            return nullptr;
        }
        codec_ = codec;
        progress_.report = &Forward;
        progress_.context = this;
        return &progress_;
    }

    CoreEvents* events() const { return events_; }

  private:
    static void Forward(void* context, LzEvent event, std::uint32_t pos, std::uint32_t size) {
        auto* self = static_cast<Reporter*>(context);
        self->events_->Progress(self->codec_, event, pos, size);
    }

    CoreEvents* events_;
    Codec codec_ = Codec::kEncoder;
    LzProgress progress_;
};

// The input of one operation, open for reading; a file is closed as soon as it is read.
class Source {
  public:
    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() { Close(); }

    bool Open(const Input& input) {
        if (input.path == nullptr) {
            in = MemorySource(input.data, input.size);
            return true;
        }
        file_ = OpenInputFile(input.path);
        if (file_ == nullptr) {
            return false;
        }
        in = FileSource(file_, input.path);
        return true;
    }

    // The result for a failure while reading: an I/O error of the file, or the cause itself.
    cbmpcore_result ResultFor(ImageStatus cause) const {
        return file_ != nullptr && std::ferror(file_) != 0 ? CBMPCORE_ERROR_READ : ResultOf(cause);
    }

    void Close() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
            in.file = nullptr;
        }
    }

    InputSource in;

  private:
    std::FILE* file_ = nullptr;
};

// Writes `head` then `body` to the output: a file, replaced only once complete, or a new buffer.
ImageStatus Deliver(Output& output, const std::uint8_t* head, std::size_t headSize,
                    const std::uint8_t* body, std::size_t bodySize, const FileIdentity& input,
                    const Settings& settings) {
    if (output.path == nullptr) {
        ByteBuffer buffer = AllocateBytes(headSize + bodySize);
        if (!buffer) {
            return ImageStatus::kNoMemory;
        }
        std::memcpy(buffer.get(), head, headSize);
        if (bodySize > 0) {
            std::memcpy(buffer.get() + headSize, body, bodySize);
        }
        output.buffer = std::move(buffer);
        output.size = headSize + bodySize;
        return ImageStatus::kOk;
    }
    OutputFile file;
    // An output that is the very file read (under any name) is refused before anything changes.
    switch (file.Open(output.path, &input, settings.tempFiles)) {
        case OpenStatus::kOpened:
            break;
        case OpenStatus::kSameAsInput:
            return ImageStatus::kOutputIsInput;
        case OpenStatus::kCannotCreate:
            return ImageStatus::kCannotCreate;
    }
    if (!file.Write(head, headSize) || (bodySize > 0 && body == nullptr) ||
        !file.Write(body, bodySize) || !file.Commit()) {
        file.Discard();
        return ImageStatus::kCannotWrite;
    }
    return ImageStatus::kOk;
}

}  // namespace

cbmpcore_result ResultOf(ImageStatus cause) {
    const FailureRow* row = RowOf(cause);
    return row != nullptr ? row->result : CBMPCORE_ERROR_INVALID_ARGUMENT;
}

Outcome Compress(const Input& input, Output& output, const Settings& settings) {
    Reporter report(settings);
    Source source;
    if (!source.Open(input)) {
        report.Fail(ImageStatus::kCannotOpen, input.name);
        return {CBMPCORE_ERROR_CANNOT_OPEN, false};
    }
    BmpImagePtr image(CreateBmpImage());
    if (!image) {
        report.Fail(ImageStatus::kNoMemory, input.name);
        return {CBMPCORE_ERROR_NO_MEMORY, false};
    }
    ImageStatus status = ReadBmp(source.in, *image);
    if (status != ImageStatus::kOk) {
        const cbmpcore_result result = source.ResultFor(status);
        report.Fail(status, result, input.name);
        return {result, false};
    }
    source.Close();

    CbmpEncoding encoding;
    status = EncodeCbmp(*image, encoding, report.Progress(Codec::kEncoder), settings.threads);
    image.reset();
    if (status != ImageStatus::kOk) {
        report.Fail(status, output.name);
        return {ResultOf(status), true};
    }
    std::uint8_t header[kCbmpHeaderSize];
    EncodeCbmpHeader(encoding.header, header);
    status = Deliver(output, header, sizeof header, encoding.stream.get(),
                     encoding.header.compressedSize, source.in.identity, settings);
    if (status != ImageStatus::kOk) {
        report.Fail(status, output.name);
        return {ResultOf(status), true};
    }
    if (report.events() != nullptr) {
        report.events()->Compressed(CompressSummary{output.name, encoding.header.originalSize,
                                                    encoding.header.compressedSize});
    }
    return {CBMPCORE_OK, true};
}

Outcome Decompress(const Input& input, Output& output, const Settings& settings) {
    Reporter report(settings);
    Source source;
    if (!source.Open(input)) {
        report.Fail(ImageStatus::kCannotOpen, input.name);
        return {CBMPCORE_ERROR_CANNOT_OPEN, true};
    }
    CbmpHeader header;
    CbmpStream stream;
    ImageStatus status = ReadCbmpHeader(source.in, header);
    if (status == ImageStatus::kOk) {
        status = ReadCbmpStream(source.in, header, stream);
    }
    if (status != ImageStatus::kOk) {
        const cbmpcore_result result = source.ResultFor(status);
        report.Fail(status, result, input.name);
        return {result, true};
    }
    source.Close();

    // The BMP file is decoded whole into one buffer, which goes to the output as it is: handed
    // over for memory, written out for a file.
    BmpFileBuffer bmp;
    status = DecodeCbmp(header, stream.bytes, bmp, report.Progress(Codec::kDecoder));
    stream.owned.reset();
    if (status != ImageStatus::kOk) {
        report.Fail(status, input.name);
        return {ResultOf(status), true};
    }
    if (report.events() != nullptr) {
        report.events()->Decompressed(
            DecompressSummary{input.name, header.compressedSize, header.originalSize});
    }
    if (output.path == nullptr) {
        output.buffer = std::move(bmp.bytes);
        output.size = bmp.size;
        return {CBMPCORE_OK, true};
    }
    status = Deliver(output, bmp.bytes.get(), bmp.size, nullptr, 0, source.in.identity, settings);
    if (status != ImageStatus::kOk) {
        report.Fail(status, output.name);
        return {ResultOf(status), true};
    }
    return {CBMPCORE_OK, true};
}

cbmpcore_result ReadInfo(const std::uint8_t* data, std::size_t size, CbmpHeader& header) {
    InputSource in = MemorySource(data, size);
    ImageStatus status = ReadCbmpHeader(in, header);
    if (status == ImageStatus::kOk) {
        status = CheckCbmpSizes(header);
    }
    return ResultOf(status);
}

}  // namespace cbmp::core
