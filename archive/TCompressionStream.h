// A write-only stream that deflates everything written to it into a target stream
// as one zlib stream (RFC 1950).
#pragma once

#include <zlib.h>

#include <functional>
#include <memory>

#include "runtime/Streams.h"

namespace kv {

enum TCompressionLevel { colNone, colFastest, colDefault, colMax };

class TCustomZlibStream : public TStream {
public:
    using TProgressEvent = std::function<void(TCustomZlibStream* Sender)>;
    static constexpr int BufferSize = 65536;

    // Called after each full output buffer has gone to the target.
    TProgressEvent OnProgress;

protected:
    explicit TCustomZlibStream(TStream& strm);
    virtual void Progress();

    TStream& FStrm;       // not owned
    int64_t FStrmPos;     // where the next output goes in FStrm
    z_stream FZRec{};
    std::unique_ptr<unsigned char[]> FBuffer;
};

class TCompressionStream : public TCustomZlibStream {
public:
    TCompressionStream(TCompressionLevel level, TStream& dest);
    // Finishes the zlib stream if Finish has not run; errors are swallowed here,
    // so callers that must see them call Finish first.
    ~TCompressionStream() override;

    // Writes the rest of the zlib stream to the target and releases zlib.
    void Finish();

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    // Only Seek(0, soCurrent): the number of bytes written so far.
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

private:
    bool FFinished = false;
};

int ZlibLevel(TCompressionLevel level);

}  // namespace kv
