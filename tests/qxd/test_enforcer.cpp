// The enforcer with a fake back end, without root: every change of the entries or of the
// protection reaches the back end before the change returns, decisions come from the policy it
// was given, what the back end leaves out is written once per change of its notes, denials are
// recorded (also in permissive mode), and stopping shuts the back end down and cuts it off.
#include "qxd/enforcer.h"
#include "engine/fprec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vx::qxd;

namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::shared_ptr<const Policy>> applied;
    std::shared_ptr<Gatekeeper> gate;
    int shutdowns = 0;
    std::string note; // what Apply says it leaves out of entry 0
};

class FakeBackend : public Backend {
public:
    explicit FakeBackend(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
    std::string Name() const override { return "fake"; }
    std::vector<std::string> Limits() const override { return {}; }
    void SetGate(std::shared_ptr<Gatekeeper> gate) override
    {
        std::lock_guard lock(seen_->mutex);
        seen_->gate = std::move(gate);
    }
    std::string Canonical(const std::string &path) override { return path; }
    void Apply(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes) override
    {
        std::lock_guard lock(seen_->mutex);
        seen_->applied.push_back(policy);
        if (!seen_->note.empty() && policy && !policy->rules().empty())
            notes[0].push_back(seen_->note);
    }
    void Shutdown() override
    {
        std::lock_guard lock(seen_->mutex);
        ++seen_->shutdowns;
        seen_->gate.reset();
    }

private:
    std::shared_ptr<Seen> seen_;
};

Entry MakeEntry(const std::string &folders, const std::string &process, uint32_t mask)
{
    Entry e;
    e.fileFolder = folders;
    e.process = process;
    e.mask = mask;
    return e;
}

Subject Proc(const std::string &exe)
{
    Subject s;
    s.pid = 1;
    s.exe = exe;
    s.pathTrue = true;
    return s;
}

class EnforcerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/vxenf-XXXXXX";
        dir = ::mkdtemp(templ);
        ::unsetenv("VELLAMORIX_DRIVES");
        engine = std::make_shared<Engine>();
        seen = std::make_shared<Seen>();
    }
    void TearDown() override
    {
        if (enforcer)
            enforcer->Stop();
        enforcer.reset();
        fs::remove_all(dir);
    }
    void Make(bool permissive = false)
    {
        enforcer = Enforcer::Create(engine, {dir, "", permissive}, err, std::make_unique<FakeBackend>(seen));
        ASSERT_TRUE(enforcer);
        enforcer->Start();
    }
    std::shared_ptr<const Policy> Last()
    {
        std::lock_guard lock(seen->mutex);
        return seen->applied.empty() ? nullptr : seen->applied.back();
    }
    size_t Applied()
    {
        std::lock_guard lock(seen->mutex);
        return seen->applied.size();
    }

    std::string dir;
    std::ostringstream err;
    std::shared_ptr<Engine> engine;
    std::shared_ptr<Seen> seen;
    std::shared_ptr<Enforcer> enforcer;
};

TEST_F(EnforcerTest, EveryChangeIsAppliedBeforeItReturns)
{
    Make();
    {
        std::lock_guard lock(seen->mutex);
        ASSERT_EQ(seen->gate.get(), enforcer.get()) << "the back end asks the enforcer";
    }
    ASSERT_TRUE(Last());
    EXPECT_TRUE(Last()->rules().empty());
    ASSERT_TRUE(engine->Append(MakeEntry("C:\\data\\*;", "notepad*", FP_READ)));
    ASSERT_TRUE(Last());
    EXPECT_FALSE(Last()->active()) << "protection is off until switched on";
    engine->SetActive(true);
    const auto policy = Last();
    ASSERT_TRUE(policy && policy->active());
    EXPECT_EQ(enforcer->Current(), policy) << "decisions come from the policy last applied";
    const Decision d = policy->Decide(Proc("/usr/bin/notepad"), "/data/f", op::kRead);
    EXPECT_TRUE(d.deny);
    EXPECT_EQ(d.entry, 0);
    EXPECT_FALSE(policy->Decide(Proc("/usr/bin/wordpad"), "/data/f", op::kRead).deny);
    engine->SetActive(false);
    EXPECT_FALSE(Last()->active());
}

TEST_F(EnforcerTest, NotesAreWrittenOncePerChangeOfWhatIsLeftOut)
{
    {
        std::lock_guard lock(seen->mutex);
        seen->note = "/data: left out for a test";
    }
    Make();
    ASSERT_TRUE(engine->Append(MakeEntry("C:\\data\\*;", "*", FP_READ)));
    engine->SetActive(true);
    engine->SetActive(true);
    const std::string log = err.str();
    const std::string line = "is not fully enforced: /data: left out for a test";
    ASSERT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << "written again although nothing changed:\n" << log;
}

TEST_F(EnforcerTest, DenialsAreRecordedAlsoWhenPermissive)
{
    Make(true);
    EXPECT_TRUE(enforcer->Permissive());
    Decision d;
    d.deny = true;
    d.entry = 3;
    d.denied = op::kRead;
    enforcer->Denied(Proc("/usr/bin/notepad"), "/data/f", d);
    const std::string log = err.str();
    EXPECT_NE(log.find("would deny"), std::string::npos) << log;
    EXPECT_NE(log.find("/data/f"), std::string::npos) << log;
    EXPECT_NE(fs::file_size(dir + "/qxd-engine.log"), 0u);
}

TEST_F(EnforcerTest, StoppingShutsTheBackEndDownAndLeavesNoPolicy)
{
    Make();
    ASSERT_TRUE(engine->Append(MakeEntry("C:\\data\\*;", "*", FP_READ)));
    enforcer->Stop();
    {
        std::lock_guard lock(seen->mutex);
        EXPECT_EQ(seen->shutdowns, 1);
    }
    EXPECT_FALSE(enforcer->Current());
    const size_t before = Applied();
    engine->SetActive(true);
    EXPECT_EQ(Applied(), before) << "a change after the stop reached the back end";
}

} // namespace
