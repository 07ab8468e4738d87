// SPDX-License-Identifier: GPL-3.0-or-later
// What the entries mean for real processes: one decision per (process, object, operation).
// A Policy is compiled once from the entry list and the protection state and then only read,
// by any number of threads; Decide touches no file system and no process.
#pragma once

#include "qxd/core.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <unordered_map>
#include <vector>

namespace vx::qxd {

// Operation bits: the entries' mask bits (contract/qxd.h).
namespace op {
constexpr uint32_t kOpen = FP_OPEN;
constexpr uint32_t kGetLastAccessTime = FP_GET_LAST_ACCESS_TIME;
constexpr uint32_t kRename = FP_RENAME;
constexpr uint32_t kDelete = FP_DELETE;
constexpr uint32_t kRead = FP_READ;
constexpr uint32_t kWrite = FP_WRITE;
constexpr uint32_t kGetAttributes = FP_GET_ATTRIBUTES;
constexpr uint32_t kList = FP_LIST;
constexpr uint32_t kExecute = FP_EXECUTE;
constexpr uint32_t kCreate = FP_CREATE;
constexpr uint32_t kReplace = FP_REPLACE;
constexpr uint32_t kDirDelete = FP_DIR_DELETE;
constexpr uint32_t kDirCreate = FP_DIR_CREATE;
constexpr uint32_t kGetCreationTime = FP_GET_CREATION_TIME;
constexpr uint32_t kGetModificationTime = FP_GET_MODIFICATION_TIME;
constexpr uint32_t kSetLastAccessTime = FP_SET_LAST_ACCESS_TIME;
constexpr uint32_t kSetCreationTime = FP_SET_CREATION_TIME;
constexpr uint32_t kSetModificationTime = FP_SET_MODIFICATION_TIME;
constexpr uint32_t kSetAttributes = FP_SET_ATTRIBUTES;
// Reading attributes or times: one stat answers them all.
constexpr uint32_t kStat = kGetAttributes | kGetLastAccessTime | kGetCreationTime | kGetModificationTime;
// Every change to an object or to the names in a folder.
constexpr uint32_t kChange = kRename | kDelete | kWrite | kCreate | kReplace | kDirDelete | kDirCreate |
                             kSetLastAccessTime | kSetModificationTime | kSetAttributes;
} // namespace op

// Names of the bits for messages ("open, read").
std::string OpNames(uint32_t ops);

// The process asking, as the event source found it.
struct Subject {
    int pid = 0;     // the thread that asks
    std::string exe; // its executable's path (raw bytes); empty when unknown
    // The file at `exe` in the engine's own view is the one the process runs (a path made up in
    // another mount namespace is not): only then can a whole-path pattern match it.
    bool pathTrue = false;
    // One of the project's own programs, unaltered: exempt from the registry store's guard alone.
    bool trusted = false;
};

// One path item of an entry after the drive map: a POSIX path, covering the object itself or
// everything below it.
struct PathItem {
    std::string path;
    bool subtree = false;
    bool Covers(std::string_view object) const;
    bool operator==(const PathItem &) const = default;
};

// A set of paths looked up by string_view, without making a string for each question.
struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using PathTable = std::unordered_set<std::string, PathHash, std::equal_to<>>;

// Path items compiled for lookups: the objects named exactly in a hash set, the subtrees in a list.
class PathSet {
public:
    PathSet() = default;
    explicit PathSet(const std::vector<PathItem> &items);
    bool Covers(std::string_view path) const;
    bool empty() const { return exact_.empty() && trees_.empty(); }

private:
    PathTable exact_;
    std::vector<std::string> trees_;
};

// One process pattern: compared with the executable's file name, or with its whole path when
// the pattern names a folder (and that path truly names the file the process runs). "*" and "?"
// are wildcards; ASCII case is ignored.
struct ProcessPattern {
    std::string text; // UTF-8, drive mapped when wholePath
    bool wholePath = false;
    bool Matches(const Subject &subject) const;
};

struct Decision {
    bool deny = false;
    int entry = -1;      // index of the entry that denies
    uint32_t denied = 0; // the asked bits it denies
};

// Objects the engine never enforces, whatever an entry says.
struct Guard {
    std::vector<std::string> trees; // these and everything below
    PathTable objects;              // exactly these
    bool Holds(std::string_view path) const;
    // True when a guarded object lies below `path` (so it cannot be served whole).
    bool Above(std::string_view path) const;
    // The system folders, the engine's own executable and libraries, and `ownFolders`.
    static Guard ForEngine(const std::string &engineExe, const std::vector<std::string> &ownFolders);
};

// Reads a ";"-closed list of drive paths ("C:\a\*;C:\b;"). Items no drive maps, or holding
// wildcards elsewhere than in a closing "\*", go to `unusable`.
std::vector<PathItem> ParsePathList(std::string_view text, std::vector<std::string> *unusable = nullptr);

// Reads a ";"-closed list of process patterns (CP949 as stored).
std::vector<ProcessPattern> ParseProcessList(std::string_view text);

// "*"/"?" wildcard match, ASCII case ignored.
bool WildcardMatch(std::string_view pattern, std::string_view text);

class Policy {
public:
    struct Rule {
        int index = 0;
        std::vector<PathItem> items;
        std::vector<PathItem> excluded;
        std::vector<ProcessPattern> process;
        std::vector<ProcessPattern> excludeProcess;
        uint32_t mask = 0;
        std::vector<std::string> unusable; // path items that name no object here
        std::string fileFolderText, processText; // the entry's own texts, as they stood for this policy

        bool Covers(std::string_view path) const;
        bool Matches(const Subject &subject) const;
        // Compiles the items for Covers; done by AddRule.
        void Compile();

    private:
        PathSet covered_, excludedSet_;
    };
    // The index of the rule that keeps the registry store from all but the project's programs.
    static constexpr int kStoreRule = -1;

    Policy() = default;
    // `canonical` turns a mapped path into the one the event sources report (symbolic links in
    // its folders resolved); identity when null.
    Policy(const std::vector<Entry> &entries, bool active, Guard guard,
           const std::function<std::string(const std::string &)> &canonical = nullptr);

    // The decision for `ops` (one or more bits) on `path` by `subject`. Objects that no entry
    // covers, guarded objects, the engine's own process, and an inactive policy allow everything;
    // the project's own programs pass the registry store's guard, and are judged like any other
    // process everywhere else.
    Decision Decide(const Subject &subject, std::string_view path, uint32_t ops) const;
    // The same, with the subject looked up only when some entry covering `path` could deny one
    // of `ops` (looking it up costs more than the rest).
    Decision Decide(const std::function<const Subject &()> &subject, std::string_view path, uint32_t ops) const;
    // The decision for an object at or below `folder` whose path cannot be told: denied when a
    // rule naming the subject could deny one of `ops` on anything there (exclusions cannot be
    // weighed without the path, so they are not).
    Decision DecideBelow(const Subject &subject, std::string_view folder, uint32_t ops) const;
    // Cheap test before the subject is looked up: could anybody be denied one of `ops` on `path`?
    bool MayDeny(std::string_view path, uint32_t ops) const;
    // The bits some rule could deny on `path` to somebody.
    uint32_t Deniable(std::string_view path) const;

    // Decisions on the names in one folder, for one subject and operation, worked out once for
    // the folder (a listing asks for each of its names).
    class Children {
    public:
        // The decision on `name` in the folder, the same as Decide would give for its path.
        Decision Decide(std::string_view name) const;
        bool empty() const { return rules_.empty(); }

    private:
        friend class Policy;
        struct Compiled {
            int index = 0;
            uint32_t denied = 0;
            bool all = false;         // every name in the folder is covered
            PathTable names;          // else these are
            bool allExcluded = false; // every name is taken out again
            PathTable excludedNames;  // else these are
        };
        std::vector<Compiled> rules_;
        PathTable guarded_; // names the engine never enforces
    };
    Children ForChildren(const Subject &subject, std::string_view folder, uint32_t ops) const;

    // Adds a rule of the engine's own, after the entries.
    void AddRule(Rule rule);

    bool active() const { return active_; }
    const std::vector<Rule> &rules() const { return rules_; }
    const Guard &guard() const { return guard_; }
    // The union of every rule's mask (what the event sources must watch for at all).
    uint32_t masks() const { return masks_; }
    int selfPid = 0; // the engine's own process, never denied

private:
    // True when the registry store's guard covers `path`: there the project's programs are
    // exempt from every entry.
    bool InStore(std::string_view path) const;
    // The places in rules_ of the rules with an item at `path` or at one of its folders (the
    // only ones that can cover it), in order.
    void RulesAbove(std::string_view path, std::vector<uint32_t> &out) const;
    // The same for rules with an item directly in `folder`, or at it or above it.
    void RulesAround(std::string_view folder, std::vector<uint32_t> &out) const;

    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    using Index = std::unordered_map<std::string, std::vector<uint32_t>, Hash, std::equal_to<>>;
    Index byItem_;   // item path -> rules with an item there
    Index byFolder_; // folder of an item naming one object -> rules with such an item there
    std::vector<Rule> rules_;
    int storeRule_ = -1; // its place in rules_
    bool active_ = false;
    Guard guard_;
    uint32_t masks_ = 0;
};

} // namespace vx::qxd
