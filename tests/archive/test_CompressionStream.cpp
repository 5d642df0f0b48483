#include "archive/TCompressionStream.h"

#include "tests/archive/ArchiveTestUtil.h"

namespace kv {
namespace {

using test::Inflate;

TEST(CompressionStream, EmptyStreamIsACompleteZlibStream) {
    const struct {
        TCompressionLevel level;
        std::string bytes;
    } cases[] = {
        {colMax, std::string("\x78\xDA\x03\x00\x00\x00\x00\x01", 8)},
        {colDefault, std::string("\x78\x9C\x03\x00\x00\x00\x00\x01", 8)},
        {colFastest, std::string("\x78\x01\x03\x00\x00\x00\x00\x01", 8)},
        {colNone, std::string("\x78\x01\x01\x00\x00\xFF\xFF\x00\x00\x00\x01", 11)},
    };
    for (const auto& c : cases) {
        TMemoryStream out;
        TCompressionStream z(c.level, out);
        z.Finish();
        EXPECT_EQ(out.Data(), c.bytes) << c.level;
    }
}

TEST(CompressionStream, RoundTripsAtEveryLevelAndMatchesZlib) {
    std::string data = test::TextBytes(300000, 1) + test::RandomBytes(100000, 2);
    for (TCompressionLevel level : {colNone, colFastest, colDefault, colMax}) {
        TMemoryStream out;
        {
            TCompressionStream z(level, out);
            for (size_t i = 0; i < data.size(); i += 7001)
                z.WriteBuffer(data.data() + i, static_cast<int64_t>(std::min<size_t>(7001, data.size() - i)));
            EXPECT_EQ(z.Position(), static_cast<int64_t>(data.size()));
        }  // the destructor finishes
        EXPECT_TRUE(Inflate(out.Data()) == data) << level;
        // Stored blocks follow the output buffer's size; deflated data does not.
        if (level != colNone) {
            EXPECT_TRUE(out.Data() == test::Deflate(data, ZlibLevel(level))) << level;
        }
    }
}

TEST(CompressionStream, StoredOutputIsSlightlyLarger) {
    std::string data = test::RandomBytes(200000, 3);
    TMemoryStream out;
    TCompressionStream z(colNone, out);
    z.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    z.Finish();
    EXPECT_GT(out.Size(), static_cast<int64_t>(data.size()));
    EXPECT_LT(out.Size(), static_cast<int64_t>(data.size()) + 64);
    EXPECT_TRUE(Inflate(out.Data()) == data);
}

TEST(CompressionStream, ProgressOncePerFullBufferAndNeverWhileFinishing) {
    const struct {
        size_t size;
        int expected;
    } cases[] = {{1000, 0}, {65000, 0}, {200000, 3}, {500000, 7}};
    for (const auto& c : cases) {
        std::string data = test::RandomBytes(c.size, 4);
        TMemoryStream out;
        TCompressionStream z(colNone, out);
        int calls = 0;
        std::vector<int64_t> sizes;
        z.OnProgress = [&](TCustomZlibStream* sender) {
            EXPECT_EQ(sender, &z);
            ++calls;
            sizes.push_back(out.Size());
        };
        z.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
        EXPECT_EQ(calls, c.expected) << c.size;
        z.Finish();
        EXPECT_EQ(calls, c.expected) << c.size;
        for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], 65536 * static_cast<int64_t>(i + 1));
    }
}

TEST(CompressionStream, ReadAndSeekAreInvalid) {
    TMemoryStream out;
    TCompressionStream z(colMax, out);
    char b[4];
    EXPECT_THROW(
        {
            try {
                z.Read(b, 4);
            } catch (const Exception& e) {
                EXPECT_EQ(e.Message(), "Invalid stream operation");
                throw;
            }
        },
        Exception);
    z.WriteBuffer("abc", 3);
    EXPECT_EQ(z.Seek(0, soCurrent), 3);
    EXPECT_THROW(z.Seek(0, soBeginning), Exception);
    EXPECT_THROW(z.Seek(1, soCurrent), Exception);
}

TEST(CompressionStream, WritesAtTheRememberedTargetPosition) {
    TMemoryStream out;
    out.WriteString("HEAD");
    std::string data = test::RandomBytes(150000, 5);
    {
        TCompressionStream z(colNone, out);
        z.WriteBuffer(data.data(), 70000);
        out.SetPosition(0);  // someone else moved the target
        z.WriteBuffer(data.data() + 70000, 80000);
        out.SetPosition(1);
        z.Finish();
    }
    EXPECT_EQ(out.Data().substr(0, 4), "HEAD");
    EXPECT_TRUE(Inflate(out.Data().substr(4)) == data);
}

TEST(CompressionStream, TargetWriteFailurePropagates) {
    class TFullStream : public TMemoryStream {
    public:
        int64_t Write(const void* b, int64_t n) override { return TMemoryStream::Write(b, std::min<int64_t>(n, 100)); }
    } out;
    std::string data = test::RandomBytes(100000, 6);
    TCompressionStream z(colNone, out);
    EXPECT_THROW(z.WriteBuffer(data.data(), static_cast<int64_t>(data.size())), EWriteError);
}

}  // namespace
}  // namespace kv
