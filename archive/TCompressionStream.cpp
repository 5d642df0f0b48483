#include "archive/TCompressionStream.h"

#include <climits>

namespace kv {

namespace {
int ZCheck(int code) {
    if (code < 0) throw Exception("error");
    return code;
}
}  // namespace

int ZlibLevel(TCompressionLevel level) {
    switch (level) {
        case colNone: return Z_NO_COMPRESSION;
        case colFastest: return Z_BEST_SPEED;
        case colDefault: return Z_DEFAULT_COMPRESSION;
        case colMax: return Z_BEST_COMPRESSION;
    }
    throw Exception("error");
}

TCustomZlibStream::TCustomZlibStream(TStream& strm)
    : FStrm(strm), FStrmPos(strm.Position()), FBuffer(new unsigned char[BufferSize]) {
    FZRec.next_out = FBuffer.get();
    FZRec.avail_out = BufferSize;
}

void TCustomZlibStream::Progress() {
    if (OnProgress) OnProgress(this);
}

TCompressionStream::TCompressionStream(TCompressionLevel level, TStream& dest) : TCustomZlibStream(dest) {
    ZCheck(deflateInit2(&FZRec, ZlibLevel(level), Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY));
}

TCompressionStream::~TCompressionStream() {
    try {
        Finish();
    } catch (...) {
    }
}

void TCompressionStream::Finish() {
    if (FFinished) return;
    FFinished = true;
    struct TRelease {
        z_stream& z;
        ~TRelease() { deflateEnd(&z); }
    } release{FZRec};
    FZRec.next_in = nullptr;
    FZRec.avail_in = 0;
    if (FStrm.Position() != FStrmPos) FStrm.SetPosition(FStrmPos);
    while (ZCheck(deflate(&FZRec, Z_FINISH)) != Z_STREAM_END && FZRec.avail_out == 0) {
        FStrm.WriteBuffer(FBuffer.get(), BufferSize);
        FZRec.next_out = FBuffer.get();
        FZRec.avail_out = BufferSize;
    }
    if (FZRec.avail_out < static_cast<uInt>(BufferSize))
        FStrm.WriteBuffer(FBuffer.get(), BufferSize - FZRec.avail_out);
    FStrmPos = FStrm.Position();
}

int64_t TCompressionStream::Read(void*, int64_t) { throw Exception("Invalid stream operation"); }

int64_t TCompressionStream::Write(const void* buffer, int64_t count) {
    if (FFinished) throw Exception("Invalid stream operation");
    if (FStrm.Position() != FStrmPos) FStrm.SetPosition(FStrmPos);
    auto* in = static_cast<const unsigned char*>(buffer);
    int64_t left = count;
    while (left > 0) {
        uInt chunk = static_cast<uInt>(std::min<int64_t>(left, UINT_MAX));
        FZRec.next_in = const_cast<unsigned char*>(in);
        FZRec.avail_in = chunk;
        while (FZRec.avail_in > 0) {
            ZCheck(deflate(&FZRec, Z_NO_FLUSH));
            if (FZRec.avail_out == 0) {
                FStrm.WriteBuffer(FBuffer.get(), BufferSize);
                FZRec.next_out = FBuffer.get();
                FZRec.avail_out = BufferSize;
                FStrmPos = FStrm.Position();
                Progress();
            }
        }
        in += chunk;
        left -= chunk;
    }
    return count;
}

int64_t TCompressionStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (offset == 0 && origin == soCurrent) return static_cast<int64_t>(FZRec.total_in);
    throw Exception("Invalid stream operation");
}

}  // namespace kv
