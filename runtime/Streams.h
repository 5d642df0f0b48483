// Byte streams: the abstract stream and the memory stream. File streams on the
// emulated machine's files live in platform/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"

namespace kv {

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
public:
    virtual ~TStream() = default;
    // Read and Write move up to Count bytes and return how many moved.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t GetSize();
    virtual void SetSize(int64_t size);

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t p) { Seek(p, soBeginning); }
    int64_t Size() { return GetSize(); }

    // Exactly Count bytes or EReadError "Stream read error" / EWriteError "Stream write error".
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies Count bytes from Source (all of it from the start when Count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);

    // Little-endian fields, written one by one.
    uint8_t ReadU8();
    uint16_t ReadU16();
    uint32_t ReadU32();
    int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
    uint64_t ReadU64();
    double ReadDouble();
    void WriteU8(uint8_t v);
    void WriteU16(uint16_t v);
    void WriteU32(uint32_t v);
    void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
    void WriteU64(uint64_t v);
    void WriteDouble(double v);
    std::string ReadString(int64_t count);
    void WriteString(const std::string& s) { WriteBuffer(s.data(), static_cast<int64_t>(s.size())); }
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string data) : FData(std::move(data)) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t size) override;
    void Clear() { FData.clear(); FPos = 0; }
    const std::string& Data() const { return FData; }
    std::string& Data() { return FData; }

private:
    std::string FData;
    int64_t FPos = 0;
};

}  // namespace kv
