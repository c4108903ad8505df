#include "core/operations.h"

#include <cstdint>

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

// The input of one operation: a file, mapped where it can be (its bytes then borrowed, not
// copied), or the caller's bytes.
class Source {
  public:
    bool Open(const Input& input) {
        if (input.path == nullptr) {
            memory_ = MemorySource(input.data, input.size);
            in = &memory_;
            return true;
        }
        if (!file_.Open(input.path)) {
            return false;
        }
        in = &file_.source;
        return true;
    }

    // The result for a failure while reading: an I/O error of the file, or the cause itself.
    cbmpcore_result ResultFor(ImageStatus cause) const {
        return file_.ReadFailed() ? CBMPCORE_ERROR_READ : ResultOf(cause);
    }

    // Closes the file once it is read; a mapping, and what borrows from it, stays with this.
    void Close() { file_.Close(); }

    InputSource* in = nullptr;

  private:
    InputFile file_;
    InputSource memory_;
};

// The output file of one operation, opened before the codec runs so that the codec's bytes go
// straight to it. What befalls the file is told after the codec's own reports, where a write
// after the codec would tell it: a failure to open or to write is kept, the codec runs on with
// its bytes dropped, and Finish reports it.
class FileSink {
  public:
    void Open(const Output& output, const FileIdentity& input, const Settings& settings) {
        // An output that is the very file read (under any name) is refused before anything
        // changes.
        switch (file_.Open(output.path, &input, settings.tempFiles)) {
            case OpenStatus::kOpened:
                break;
            case OpenStatus::kSameAsInput:
                status_ = ImageStatus::kOutputIsInput;
                break;
            case OpenStatus::kCannotCreate:
                status_ = ImageStatus::kCannotCreate;
                break;
        }
    }

    LzSink Sink() { return LzSink{&Take, this}; }

    void Write(const std::uint8_t* bytes, std::size_t count) { Take(this, bytes, count); }

    // True when the bytes at the start can be written again once the rest is known.
    bool CanRewrite() const { return status_ != ImageStatus::kOk || file_.CanRewrite(); }

    void Rewrite(const std::uint8_t* bytes, std::size_t count) {
        if (status_ == ImageStatus::kOk && !file_.WriteAt(0, bytes, count)) {
            status_ = ImageStatus::kCannotWrite;
        }
    }

    // Puts the file in place; kOk, or the first failure met since Open.
    ImageStatus Finish(bool durable) {
        if (status_ == ImageStatus::kOk && !file_.Commit(durable)) {
            status_ = ImageStatus::kCannotWrite;
        }
        file_.Discard();
        return status_;
    }

  private:
    static bool Take(void* context, const std::uint8_t* bytes, std::size_t count) {
        auto* self = static_cast<FileSink*>(context);
        if (self->status_ == ImageStatus::kOk && !self->file_.Write(bytes, count)) {
            self->status_ = ImageStatus::kCannotWrite;
        }
        return true;  // the codec goes on, so that its reports come out whole
    }

    OutputFile file_;  // discarded unless Finish committed it
    ImageStatus status_ = ImageStatus::kOk;
};

// Compresses `image` into the file `out`: header room first, the stream as the encoder hands it
// over, then the header once the stream's size is known. An output that cannot be rewritten (a
// FIFO, a device) gets the file collected in memory first.
ImageStatus CompressInto(FileSink& out, const BmpImage& image, const LzProgress* progress,
                         unsigned threads, CbmpHeader& header) {
    if (!out.CanRewrite()) {
        CbmpFileBuffer cbmp;
        const ImageStatus status = EncodeCbmpFile(image, cbmp, progress, threads);
        if (status == ImageStatus::kOk) {
            out.Write(cbmp.bytes.get(), cbmp.size);
            header = cbmp.header;
        }
        return status;
    }
    std::uint8_t bytes[kCbmpHeaderSize] = {};
    out.Write(bytes, sizeof bytes);
    const ImageStatus status = EncodeCbmpTo(image, out.Sink(), header, progress, threads);
    if (status == ImageStatus::kOk) {
        EncodeCbmpHeader(header, bytes);
        out.Rewrite(bytes, sizeof bytes);
    }
    return status;
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
    ImageStatus status = ReadBmp(*source.in, *image);
    if (status != ImageStatus::kOk) {
        const cbmpcore_result result = source.ResultFor(status);
        report.Fail(status, result, input.name);
        return {result, false};
    }
    source.Close();

    const LzProgress* progress = report.Progress(Codec::kEncoder);
    CbmpHeader header;
    if (output.path == nullptr) {
        CbmpFileBuffer cbmp;
        status = EncodeCbmpFile(*image, cbmp, progress, settings.threads);
        if (status != ImageStatus::kOk) {
            report.Fail(status, output.name);
            return {ResultOf(status), true};
        }
        output.buffer = std::move(cbmp.bytes);
        output.size = cbmp.size;
        header = cbmp.header;
    } else {
        FileSink out;
        out.Open(output, source.in->identity, settings);
        status = CompressInto(out, *image, progress, settings.threads, header);
        image.reset();
        if (status == ImageStatus::kOk) {
            status = out.Finish(settings.durable);
        }
        if (status != ImageStatus::kOk) {
            report.Fail(status, output.name);
            return {ResultOf(status), true};
        }
    }
    if (report.events() != nullptr) {
        report.events()->Compressed(
            CompressSummary{output.name, header.originalSize, header.compressedSize});
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
    ImageStatus status = ReadCbmpHeader(*source.in, header);
    if (status == ImageStatus::kOk) {
        status = ReadCbmpStream(*source.in, header, stream);
    }
    if (status != ImageStatus::kOk) {
        const cbmpcore_result result = source.ResultFor(status);
        report.Fail(status, result, input.name);
        return {result, true};
    }
    source.Close();

    const LzProgress* progress = report.Progress(Codec::kDecoder);
    if (output.path == nullptr) {
        // Decoded whole into the buffer that is handed over.
        BmpFileBuffer bmp;
        status = DecodeCbmp(header, stream.bytes, bmp, progress);
        if (status != ImageStatus::kOk) {
            report.Fail(status, input.name);
            return {ResultOf(status), true};
        }
        output.buffer = std::move(bmp.bytes);
        output.size = bmp.size;
        if (report.events() != nullptr) {
            report.events()->Decompressed(
                DecompressSummary{input.name, header.compressedSize, header.originalSize});
        }
        return {CBMPCORE_OK, true};
    }
    // Decoded chunk by chunk into the file; a stream refused before decoding opens nothing.
    status = CheckCbmpDecodable(header);
    FileSink out;
    if (status == ImageStatus::kOk) {
        out.Open(output, source.in->identity, settings);
        status = DecodeCbmpTo(header, stream.bytes, out.Sink(), progress);
    }
    stream.owned.reset();
    if (status != ImageStatus::kOk) {
        report.Fail(status, input.name);
        return {ResultOf(status), true};
    }
    if (report.events() != nullptr) {
        report.events()->Decompressed(
            DecompressSummary{input.name, header.compressedSize, header.originalSize});
    }
    status = out.Finish(settings.durable);
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
