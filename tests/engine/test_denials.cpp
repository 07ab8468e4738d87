// The reader of the engine's denial record: lines, escapes, and the files it meets (missing,
// unreadable, not a file, half written, started again, malformed).
#include "engine/denials.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using vx::denials::Denial;
using vx::denials::ParseRecord;
using vx::denials::RecordReader;

std::string Line(int pid, const std::string &posix, int entry = 0)
{
    return R"({"time":"2026-12-08T19:20:01.123456Z","pid":)" + std::to_string(pid) +
           R"(,"tid":)" + std::to_string(pid) + R"(,"exe":"/usr/bin/x","operation":"write","mask":128,"path":"C:\\a",)"
           R"("posixPath":")" + posix + R"(","entry":)" + std::to_string(entry) +
           R"(,"entryFileFolder":"C:\\a\\*;","entryProcess":"x","permissive":false})";
}

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/vxden-XXXXXX";
        dir = ::mkdtemp(templ);
        path = dir + "/qxd-denials.jsonl";
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void Append(const std::string &text, const std::string &file = "")
    {
        std::ofstream(file.empty() ? path : file, std::ios::app) << text;
    }
    static std::vector<Denial> All(RecordReader &reader, std::vector<std::string> *notes = nullptr)
    {
        std::vector<Denial> out;
        for (;;) {
            RecordReader::Batch b = reader.Poll(4096);
            out.insert(out.end(), b.records.begin(), b.records.end());
            if (notes)
                notes->insert(notes->end(), b.notes.begin(), b.notes.end());
            if (!b.more)
                return out;
        }
    }
    std::string dir, path;
};

TEST(DenialRecord, ParsesEveryField)
{
    Denial d;
    std::string why;
    ASSERT_TRUE(ParseRecord(Line(42, "/srv/\xEB\xAC\xB8\xEC\x84\x9C \\\"q\\\""), d, why)) << why;
    EXPECT_EQ(d.pid, 42);
    EXPECT_EQ(d.tid, 42);
    EXPECT_EQ(d.exe, "/usr/bin/x");
    EXPECT_EQ(d.operation, "write");
    EXPECT_EQ(d.mask, 128u);
    EXPECT_EQ(d.path, "C:\\a");
    EXPECT_EQ(d.posixPath, "/srv/문서 \"q\"");
    EXPECT_EQ(d.entry, 0);
    EXPECT_TRUE(d.hasEntry);
    EXPECT_EQ(d.entryFileFolder, "C:\\a\\*;");
    EXPECT_FALSE(d.permissive);
    EXPECT_EQ(d.time, "2026-12-08T19:20:01.123456Z");
    EXPECT_EQ(d.timeUs, int64_t(1796757601) * 1000000 + 123456);
}

// Bytes of a path that are no UTF-8 come back as the same bytes; \u escapes of real characters
// (and pairs of surrogates) are characters; a lone surrogate is refused.
TEST(DenialRecord, EscapesRoundTripRawBytes)
{
    Denial d;
    std::string why;
    ASSERT_TRUE(ParseRecord(Line(1, R"(/a/\udcff\udcc0x\u00e9\ud83d\ude00)"), d, why)) << why;
    EXPECT_EQ(d.posixPath, "/a/\xFF\xC0x\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_FALSE(ParseRecord(Line(1, R"(/a/\ud800)"), d, why));
    EXPECT_FALSE(ParseRecord(Line(1, R"(/a/\ude00)"), d, why));
}

TEST(DenialRecord, RefusesWhatIsNoRecord)
{
    Denial d;
    std::string why;
    for (const std::string &bad : {std::string("not json"), std::string("{"), std::string("[]"),
                                  std::string(R"({"pid":1,"mask":1,"posixPath":"/a","entry":0})"),
                                  std::string(R"({"time":"2026-12-08T19:20:01Z","pid":1})"),
                                  std::string(R"({"time":"yesterday","dropped":3})"),
                                  std::string(R"({"time":"2026-12-08T19:20:01Z","dropped":0})"),
                                  std::string(R"({"time":"2026-12-08T19:20:01Z","pid":1.5,"mask":1,"posixPath":"/a","entry":0})"),
                                  std::string(R"({"time":"2026-12-08T19:20:01Z","pid":1,"mask":1,"posixPath":"/a","entry":0} x)"),
                                  Line(1, "/a\x01")}) {
        why.clear();
        EXPECT_FALSE(ParseRecord(bad, d, why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    ASSERT_TRUE(ParseRecord(R"({"time":"2026-12-08T19:20:01Z","dropped":17,"later":{"a":[1,"x"]}})", d, why)) << why;
    EXPECT_EQ(d.dropped, 17u);
}

TEST(DenialRecord, Times)
{
    int64_t us = 0;
    ASSERT_TRUE(vx::denials::ParseTime("1970-01-01T00:00:01Z", us));
    EXPECT_EQ(us, 1000000);
    ASSERT_TRUE(vx::denials::ParseTime("1970-01-01T00:00:00.5", us));
    EXPECT_EQ(us, 500000);
    EXPECT_FALSE(vx::denials::ParseTime("1970-01-01 00:00:00", us));
    EXPECT_FALSE(vx::denials::ParseTime("1970-13-01T00:00:00Z", us));
    EXPECT_FALSE(vx::denials::ParseTime("1970-01-01T00:00:00.Z", us));
}

// A missing record is said once, not at every read; once it is there it is read.
TEST_F(ReaderTest, MissingFileIsOneNote)
{
    RecordReader reader(path);
    RecordReader::Batch b = reader.Poll();
    ASSERT_EQ(b.notes.size(), 1u);
    EXPECT_NE(b.notes[0].find(path), std::string::npos);
    EXPECT_TRUE(reader.Poll().notes.empty());
    Append(Line(1, "/a") + "\n");
    b = reader.Poll();
    EXPECT_EQ(b.records.size(), 1u);
    EXPECT_TRUE(b.notes.empty());
}

// A malformed line is a note naming it; the records around it still come.
TEST_F(ReaderTest, MalformedLinesAreNotesAndTheRestShows)
{
    Append(Line(1, "/a") + "\n{\"time\":\"2026\n" + "\n" + Line(2, "/b") + "\n\x01\x02 garbage\n" + Line(3, "/c") + "\n");
    RecordReader reader(path);
    std::vector<std::string> notes;
    const std::vector<Denial> records = All(reader, &notes);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].pid, 1);
    EXPECT_EQ(records[1].pid, 2);
    EXPECT_EQ(records[2].pid, 3);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("2번째 줄"), std::string::npos) << notes[0];
    EXPECT_NE(notes[1].find("5번째 줄"), std::string::npos) << notes[1];
}

// A line being written is taken once it is whole; nothing is read twice.
TEST_F(ReaderTest, HalfWrittenLineWaitsForItsEnd)
{
    const std::string line = Line(7, "/half");
    Append(Line(6, "/whole") + "\n" + line.substr(0, 30));
    RecordReader reader(path);
    RecordReader::Batch b = reader.Poll();
    ASSERT_EQ(b.records.size(), 1u);
    EXPECT_TRUE(b.notes.empty());
    Append(line.substr(30) + "\n");
    b = reader.Poll();
    ASSERT_EQ(b.records.size(), 1u);
    EXPECT_EQ(b.records[0].posixPath, "/half");
    EXPECT_TRUE(reader.Poll().records.empty());
}

// Read a little at a time, a large record comes whole in order.
TEST_F(ReaderTest, ReadsInPiecesWithoutLoss)
{
    std::string text;
    for (int i = 1; i <= 500; ++i)
        text += Line(i, "/p") + "\n";
    Append(text);
    RecordReader reader(path);
    RecordReader::Batch first = reader.Poll(4096);
    EXPECT_TRUE(first.more);
    EXPECT_LT(first.records.size(), 500u);
    std::vector<Denial> all = first.records;
    const std::vector<Denial> rest = All(reader);
    all.insert(all.end(), rest.begin(), rest.end());
    ASSERT_EQ(all.size(), 500u);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(all[size_t(i)].pid, i + 1);
}

// Started again: the rest of the old file (now ".1") first, then the new one; the first read
// begins with the older file. Started again twice between two reads: said, and the new file read.
TEST_F(ReaderTest, FollowsTheFileWhenItIsStartedAgain)
{
    Append(Line(1, "/old1") + "\n", path + ".1");
    Append(Line(2, "/cur1") + "\n");
    RecordReader reader(path);
    std::vector<Denial> r = All(reader);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].pid, 1);
    EXPECT_EQ(r[1].pid, 2);

    Append(Line(3, "/cur2") + "\n");
    ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
    Append(Line(4, "/new1") + "\n");
    std::vector<std::string> notes;
    r = All(reader, &notes);
    EXPECT_TRUE(notes.empty());
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].pid, 3);
    EXPECT_EQ(r[1].pid, 4);

    ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
    Append(Line(5, "/new2") + "\n");
    ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
    Append(Line(6, "/new3") + "\n");
    r = All(reader, &notes);
    ASSERT_EQ(notes.size(), 1u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].pid, 6);
}

// A FIFO in the record's place is not waited on.
TEST_F(ReaderTest, FifoIsRefusedWithoutWaiting)
{
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    RecordReader reader(path);
    ::alarm(20); // a read that waited would end the test here
    RecordReader::Batch b = reader.Poll();
    ::alarm(0);
    EXPECT_TRUE(b.records.empty());
    ASSERT_EQ(b.notes.size(), 1u);
    EXPECT_NE(b.notes[0].find("보통 파일"), std::string::npos) << b.notes[0];
}

// A record this user may not read is a note about the group; once readable it is read.
TEST_F(ReaderTest, UnreadableRecordIsANote)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "reading as another user takes root";
    Append(Line(1, "/a") + "\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    RecordReader reader(path);
    // As somebody else, on this thread alone.
    const int uid = ::setfsuid(65534);
    const int gid = ::setfsgid(65534);
    RecordReader::Batch b = reader.Poll();
    RecordReader::Batch again = reader.Poll();
    ::setfsuid(uid);
    ::setfsgid(gid);
    EXPECT_TRUE(b.records.empty());
    ASSERT_EQ(b.notes.size(), 1u);
    EXPECT_NE(b.notes[0].find("vellamorix"), std::string::npos) << b.notes[0];
    EXPECT_TRUE(again.notes.empty()) << "said once";
    b = reader.Poll();
    EXPECT_EQ(b.records.size(), 1u);
}

} // namespace
