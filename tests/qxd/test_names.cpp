// An entry's object is decided where its name lives: each preset hides what it says from the
// listing of the object's folder, renaming and removing the object itself are decided per
// process, the folder's other names stay usable, and many entries on many folders cost the
// engine no more threads and only a mount and a couple of descriptors each. Real processes on
// real folders, in the test's own mount namespace.
#include "qxd/enforce_fixture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sstream>
#include <unistd.h>

using namespace qxdtest;

namespace {

int CountIn(const std::string &dir)
{
    int n = 0;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

class NamesTest : public EnforceTest {
protected:
    void TearDown() override
    {
        EnforceTest::TearDown();
        // Folders of the test's own outside its home go once the engine no longer serves them.
        for (const std::string &p : made) {
            std::error_code ec;
            fs::remove_all(p, ec);
        }
    }
    std::vector<std::string> made;
    // The names `who` sees in `folder`; "error N" when it cannot list it.
    std::string Listing(const std::string &who, const std::string &folder)
    {
        Runner r(Bin(who));
        const std::string line = r.Line("list", folder);
        if (line.rfind("0", 0) != 0)
            return "error " + line;
        return line.substr(1) + " ";
    }
    bool Sees(const std::string &who, const std::string &folder, const std::string &name)
    {
        return Listing(who, folder).find(" " + name + " ") != std::string::npos;
    }
};

struct Preset {
    const char *name;
    uint32_t mask;
};
constexpr Preset kPresets[] = {{"read-only", FP_PRESET_READONLY},
                               {"no access", FP_PRESET_NOACCESS},
                               {"fully hidden", FP_PRESET_FULLHIDDEN},
                               {"invisible", FP_PRESET_INVISIBLE}};

// Each preset, on a folder as the folder picker writes it and on one file: hidden from the
// denied process's listing of the folder holding it exactly when the preset denies listing, and
// always shown to a process the entry lets through.
TEST_F(NamesTest, EachPresetHidesTheObjectItNamesExactlyWhenItSaysSo)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Write(data + "/open/lone", "one file\n");
    for (const Preset &preset : kPresets) {
        SCOPED_TRACE(preset.name);
        const int32_t folder = Add(preset.mask, Win(data + "/prot") + "\\*;" + Win(data + "/prot") + ";");
        ASSERT_GE(folder, 0);
        const bool hides = preset.mask & FP_LIST;
        EXPECT_EQ(Sees("victim", data, "prot"), !hides) << Listing("victim", data);
        EXPECT_TRUE(Sees("bystander", data, "prot")) << Listing("bystander", data);
        EXPECT_TRUE(Sees("victim", data, "open")) << "a name the entry does not name stays listed";
        ASSERT_TRUE(protector->DeleteEntry(folder));

        const int32_t file = Add(preset.mask, Win(data + "/open/lone") + ";");
        ASSERT_GE(file, 0);
        EXPECT_EQ(Sees("victim", data + "/open", "lone"), !hides) << Listing("victim", data + "/open");
        EXPECT_TRUE(Sees("victim", data + "/open", "o"));
        EXPECT_TRUE(Sees("bystander", data + "/open", "lone"));
        // Hiding a name is not denying its object: what the preset leaves allowed still works.
        if (!(preset.mask & FP_OPEN)) {
            EXPECT_EQ(Op("victim", "read", data + "/open/lone"), 0);
        } else {
            EXPECT_TRUE(Denied(Op("victim", "read", data + "/open/lone")));
        }
        ASSERT_TRUE(protector->DeleteEntry(file));
        EXPECT_TRUE(Sees("victim", data, "prot")) << "shown again once the entries are gone";
    }
}

// Read-only on a folder and on a file: the denied process can neither rename nor remove them
// (and nothing changes); the process the entry lets through can, and the entry then covers
// whatever stands at the path it names.
TEST_F(NamesTest, RenamingAndRemovingTheObjectItselfAreDecidedPerProcess)
{
    Write(data + "/open/doc", "text\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_GE(Add(FP_PRESET_READONLY, Win(data + "/prot") + "\\*;" + Win(data + "/prot") + ";"), 0);
    ASSERT_GE(Add(FP_PRESET_READONLY, Win(data + "/open/doc") + ";"), 0);

    EXPECT_TRUE(Denied(Op("victim", "rename", data + "/prot", data + "/moved")));
    EXPECT_TRUE(Denied(Op("victim", "rmdir", data + "/prot/sub")));
    EXPECT_TRUE(Denied(Op("victim", "rename", data + "/open/doc", data + "/open/doc2")));
    EXPECT_TRUE(Denied(Op("victim", "unlink", data + "/open/doc")));
    // Replacing the file by renaming another over it is refused too.
    Write(data + "/open/other", "other\n");
    EXPECT_TRUE(Denied(Op("victim", "rename", data + "/open/other", data + "/open/doc")));
    EXPECT_EQ(Slurp(data + "/open/doc"), "text\n");
    EXPECT_TRUE(fs::exists(data + "/prot/f"));
    EXPECT_FALSE(fs::exists(data + "/moved"));

    // Let through: the old answer was "Device or resource busy" for everyone.
    EXPECT_EQ(Op("bystander", "rename", data + "/prot", data + "/moved"), 0);
    EXPECT_EQ(Op("bystander", "rename", data + "/open/doc", data + "/open/doc2"), 0);
    EXPECT_EQ(Slurp(data + "/moved/f"), "secret\n");
    // What was moved away is no longer what the entry names...
    EXPECT_EQ(Op("victim", "write", data + "/moved/f"), 0);
    EXPECT_EQ(Op("victim", "unlink", data + "/open/doc2"), 0);
    // ...and what is made at the named path again is.
    EXPECT_EQ(Op("bystander", "mkdir", data + "/prot"), 0);
    EXPECT_EQ(Op("bystander", "create", data + "/prot/new"), 0);
    EXPECT_TRUE(Denied(Op("victim", "write", data + "/prot/new")));
    EXPECT_EQ(Op("bystander", "create", data + "/open/doc"), 0);
    EXPECT_TRUE(Denied(Op("victim", "unlink", data + "/open/doc")));
    // The let-through process removes the object itself.
    EXPECT_EQ(Op("bystander", "unlink", data + "/open/doc"), 0);
    EXPECT_EQ(Op("bystander", "unlink", data + "/prot/new"), 0);
    EXPECT_EQ(Op("bystander", "rmdir", data + "/prot"), 0);
    EXPECT_FALSE(fs::exists(data + "/prot"));
}

// The folder holding a protected object is served so that its name can be decided; everything
// else in it behaves as before for the denied process: made, listed, read, renamed, removed.
TEST_F(NamesTest, TheFolderHoldingAnObjectKeepsItsOtherNames)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_GE(Add(FP_PRESET_FULLHIDDEN, Win(data + "/prot") + "\\*;" + Win(data + "/prot") + ";"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    EXPECT_EQ(Op("victim", "read", data + "/open/o"), 0);
    EXPECT_EQ(Op("victim", "mkdir", data + "/made"), 0);
    EXPECT_EQ(Op("victim", "create", data + "/made/x"), 0);
    EXPECT_EQ(Op("victim", "rename", data + "/made", data + "/renamed"), 0) << "a sibling folder can be renamed";
    EXPECT_EQ(Op("victim", "unlink", data + "/renamed/x"), 0);
    EXPECT_EQ(Op("victim", "rmdir", data + "/renamed"), 0);
    EXPECT_EQ(Op("victim", "rename", data + "/open/o", data + "/open/o2"), 0);
    EXPECT_EQ(Slurp(data + "/open/o2"), "public\n");
    EXPECT_EQ(Listing("victim", data + "/open"), " o2 ");
    // Making an object at the hidden name fails, and guessing the name does not reach it.
    EXPECT_NE(Op("victim", "mkdir", data + "/prot"), 0);
    EXPECT_TRUE(Denied(Op("victim", "list", data + "/prot")));
}

// An object directly in "/" cannot be served from its folder: it is served in its own place,
// still enforced, and the entry's notes say what that leaves out.
TEST_F(NamesTest, AnObjectInTheRootFolderIsServedInPlaceAndSaysSo)
{
    const std::string top = "/vx-names-" + std::to_string(::getpid());
    made.push_back(top);
    fs::create_directories(top);
    Write(top + "/f", "top\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_GE(Add(FP_PRESET_FULLHIDDEN, Win(top) + "\\*;" + Win(top) + ";"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", top + "/f")));
    EXPECT_EQ(Op("bystander", "read", top + "/f"), 0);
    EXPECT_FALSE(Sees("victim", top, "f"));
    const std::string log = daemon->Log();
    EXPECT_NE(log.find(top + ": nobody can rename or remove it while the entry is in force"), std::string::npos) << log;
    EXPECT_NE(log.find("and it stays listed in its folder"), std::string::npos) << log;
    int views = 0;
    for (const std::string &m : EngineMounts())
        views += m.find(" " + top + " ") != std::string::npos;
    EXPECT_EQ(views, 1);
}

// 500 entries on 500 folders: one mount each, the same threads as with one, and at most a couple
// of descriptors each; every one of them enforced.
TEST_F(NamesTest, FiveHundredFoldersCostAMountAndACoupleOfDescriptorsEach)
{
    constexpr int kFolders = 500;
    const std::string many = data + "/many";
    for (int i = 0; i < kFolders; ++i) {
        fs::create_directories(many + "/" + std::to_string(i) + "/p");
        Write(many + "/" + std::to_string(i) + "/p/f", "x");
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string proc = "/proc/" + std::to_string(daemon->pid());
    ASSERT_GE(Add(FP_PRESET_NOACCESS, Win(many + "/0/p") + "\\*;" + Win(many + "/0/p") + ";"), 0);
    const int threads = CountIn(proc + "/task"), fds = CountIn(proc + "/fd");
    for (int i = 1; i < kFolders; ++i) {
        const std::string p = Win(many + "/" + std::to_string(i) + "/p");
        ASSERT_GE(Add(FP_PRESET_NOACCESS, p + "\\*;" + p + ";"), 0) << i;
    }
    const int threadsAfter = CountIn(proc + "/task"), fdsAfter = CountIn(proc + "/fd");
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_LE(threadsAfter, 4 * cpus + 16) << "threads with one entry: " << threads;
    EXPECT_LE(threadsAfter, threads + 2) << "threads grow with the views";
    EXPECT_LE(fdsAfter - fds, 2 * (kFolders - 1)) << "descriptors with one entry " << fds << ", with " << kFolders << ": " << fdsAfter;
    int views = 0;
    for (const std::string &m : EngineMounts())
        views += m.find(" " + many + "/") != std::string::npos;
    EXPECT_EQ(views, kFolders);
    for (int i : {0, 249, 499}) {
        EXPECT_TRUE(Denied(Op("victim", "read", many + "/" + std::to_string(i) + "/p/f"))) << i;
        EXPECT_EQ(Op("bystander", "read", many + "/" + std::to_string(i) + "/p/f"), 0) << i;
    }
}

} // namespace
