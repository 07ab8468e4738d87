// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/policy.h"
#include "qxd/paths.h"

#include "platform/codepage/codepage.h"
#include "platform/drives/drives.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>

namespace vx::qxd {

namespace {

std::vector<std::string_view> SplitItems(std::string_view text)
{
    std::vector<std::string_view> items;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > pos)
            items.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return items;
}

std::string_view BaseName(std::string_view path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

char Fold(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

std::string OpNames(uint32_t ops)
{
    static const std::pair<uint32_t, const char *> names[] = {
        {op::kOpen, "open"},
        {op::kRead, "read"},
        {op::kWrite, "write"},
        {op::kCreate, "create"},
        {op::kDirCreate, "create folder"},
        {op::kDelete, "delete"},
        {op::kDirDelete, "delete folder"},
        {op::kRename, "rename"},
        {op::kReplace, "replace"},
        {op::kSetAttributes, "change attributes"},
        {op::kExecute, "execute"},
        {op::kList, "list"},
        {op::kGetAttributes, "read attributes"},
        {op::kGetLastAccessTime, "read access time"},
        {op::kGetCreationTime, "read creation time"},
        {op::kGetModificationTime, "read modification time"},
        {op::kSetLastAccessTime, "change access time"},
        {op::kSetCreationTime, "change creation time"},
        {op::kSetModificationTime, "change modification time"},
    };
    std::string out;
    for (const auto &[bit, name] : names)
        if (ops & bit) {
            if (!out.empty())
                out += ", ";
            out += name;
        }
    return out;
}

bool PathItem::Covers(std::string_view object) const
{
    return subtree ? IsBelow(object, path) : object == path;
}

bool WildcardMatch(std::string_view pattern, std::string_view text)
{
    size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] != '*' && (pattern[p] == '?' || Fold(pattern[p]) == Fold(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool ProcessPattern::Matches(const Subject &subject) const
{
    if (text == "*")
        return true;
    if (wholePath)
        return subject.pathTrue && WildcardMatch(text, subject.exe);
    return WildcardMatch(text, BaseName(subject.exe));
}

bool Guard::Holds(std::string_view path) const
{
    if (path == "/")
        return true;
    for (const std::string &t : trees)
        if (path == t || IsBelow(path, t))
            return true;
    return objects.find(path) != objects.end();
}

bool Guard::Above(std::string_view path) const
{
    if (path == "/")
        return true;
    for (const std::string &t : trees)
        if (IsBelow(t, path))
            return true;
    return std::any_of(objects.begin(), objects.end(), [&](const std::string &o) { return IsBelow(o, path); });
}

Guard Guard::ForEngine(const std::string &engineExe, const std::vector<std::string> &ownFolders)
{
    Guard g;
    g.trees = {"/bin", "/sbin", "/usr", "/etc", "/boot", "/dev", "/proc", "/sys", "/run"};
    if (DIR *root = ::opendir("/")) {
        while (dirent *d = ::readdir(root))
            if (std::string_view(d->d_name).substr(0, 3) == "lib")
                g.trees.push_back(std::string("/") + d->d_name);
        ::closedir(root);
    }
    for (const std::string &f : ownFolders)
        if (!f.empty())
            g.trees.push_back(f);
    if (!engineExe.empty())
        g.objects.insert(engineExe);
    // The files the engine has mapped: its libraries.
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        g.objects.insert(line.substr(slash));
    }
    std::sort(g.trees.begin(), g.trees.end());
    g.trees.erase(std::unique(g.trees.begin(), g.trees.end()), g.trees.end());
    return g;
}

std::vector<PathItem> ParsePathList(std::string_view text, std::vector<std::string> *unusable)
{
    std::vector<PathItem> items;
    for (std::string_view item : SplitItems(text)) {
        PathItem p;
        std::string_view folder = item;
        if (folder.size() >= 2 && folder.back() == '*' && (folder[folder.size() - 2] == '\\' || folder[folder.size() - 2] == '/')) {
            p.subtree = true;
            folder.remove_suffix(2);
        }
        const std::optional<std::string> posix = vx::shell::WindowsToPosix(folder);
        if (!posix || posix->find_first_of("*?") != std::string::npos) {
            if (unusable)
                unusable->emplace_back(item);
            continue;
        }
        p.path = *posix;
        items.push_back(std::move(p));
    }
    return items;
}

std::vector<ProcessPattern> ParseProcessList(std::string_view text)
{
    std::vector<ProcessPattern> patterns;
    for (std::string_view item : SplitItems(text)) {
        ProcessPattern p;
        if (item.find('\\') != std::string_view::npos) {
            // A whole path: its drive mapped, the wildcards kept in its names.
            const std::optional<std::string> posix = vx::shell::WindowsToPosix(item);
            if (!posix)
                continue;
            p.text = *posix;
            p.wholePath = true;
        } else {
            p.text = vx::codepage::AnsiToUtf8(item);
        }
        patterns.push_back(std::move(p));
    }
    return patterns;
}

PathSet::PathSet(const std::vector<PathItem> &items)
{
    for (const PathItem &i : items) {
        if (i.subtree)
            trees_.push_back(i.path);
        else
            exact_.insert(i.path);
    }
}

bool PathSet::Covers(std::string_view path) const
{
    if (!exact_.empty() && exact_.find(path) != exact_.end())
        return true;
    return std::any_of(trees_.begin(), trees_.end(), [&](const std::string &t) { return IsBelow(path, t); });
}

void Policy::Rule::Compile()
{
    covered_ = PathSet(items);
    excludedSet_ = PathSet(excluded);
}

bool Policy::Rule::Covers(std::string_view path) const
{
    return covered_.Covers(path) && !excludedSet_.Covers(path);
}

bool Policy::Rule::Matches(const Subject &subject) const
{
    const auto matches = [&](const ProcessPattern &p) { return p.Matches(subject); };
    // An executable we could not name matches "*" only.
    if (subject.exe.empty())
        return std::any_of(process.begin(), process.end(), [](const ProcessPattern &p) { return p.text == "*"; });
    return std::any_of(process.begin(), process.end(), matches) &&
           std::none_of(excludeProcess.begin(), excludeProcess.end(), matches);
}

Policy::Policy(const std::vector<Entry> &entries, bool active, Guard guard,
               const std::function<std::string(const std::string &)> &canonical)
    : active_(active), guard_(std::move(guard))
{
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        Rule r;
        r.index = int(i);
        r.items = ParsePathList(e.fileFolder, &r.unusable);
        r.excluded = ParsePathList(e.excludeFileFolder);
        if (canonical) {
            for (PathItem &p : r.items)
                p.path = canonical(p.path);
            for (PathItem &p : r.excluded)
                p.path = canonical(p.path);
        }
        r.process = ParseProcessList(e.process);
        r.excludeProcess = ParseProcessList(e.excludeProcess);
        r.mask = e.mask;
        r.fileFolderText = e.fileFolder;
        r.processText = e.process;
        AddRule(std::move(r));
    }
}

bool Policy::InStore(std::string_view path) const
{
    return storeRule_ >= 0 && rules_[size_t(storeRule_)].Covers(path);
}

void Policy::AddRule(Rule rule)
{
    rule.Compile();
    const auto place = uint32_t(rules_.size());
    if (rule.index == kStoreRule)
        storeRule_ = int(place);
    masks_ |= rule.mask;
    for (const PathItem &i : rule.items) {
        auto &at = byItem_[i.path];
        if (at.empty() || at.back() != place)
            at.push_back(place);
        if (!i.subtree) {
            auto &in = byFolder_[Parent(i.path)];
            if (in.empty() || in.back() != place)
                in.push_back(place);
        }
    }
    rules_.push_back(std::move(rule));
}

void Policy::RulesAbove(std::string_view path, std::vector<uint32_t> &out) const
{
    out.clear();
    if (byItem_.empty())
        return;
    for (std::string_view p = path;;) {
        if (auto it = byItem_.find(p); it != byItem_.end())
            out.insert(out.end(), it->second.begin(), it->second.end());
        if (p.size() <= 1)
            break;
        const size_t slash = p.rfind('/');
        p = slash == 0 || slash == std::string_view::npos ? std::string_view("/") : p.substr(0, slash);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

void Policy::RulesAround(std::string_view folder, std::vector<uint32_t> &out) const
{
    RulesAbove(folder, out);
    if (auto it = byFolder_.find(folder); it != byFolder_.end()) {
        out.insert(out.end(), it->second.begin(), it->second.end());
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
}

Decision Policy::Decide(const Subject &subject, std::string_view path, uint32_t ops) const
{
    return Decide([&]() -> const Subject & { return subject; }, path, ops);
}

Decision Policy::Decide(const std::function<const Subject &()> &subject, std::string_view path, uint32_t ops) const
{
    Decision d;
    if (!active_ || !(masks_ & ops) || guard_.Holds(path))
        return d;
    const Subject *who = nullptr;
    thread_local std::vector<uint32_t> places;
    RulesAbove(path, places);
    for (uint32_t place : places) {
        const Rule &r = rules_[place];
        const uint32_t denied = r.mask & ops;
        if (!denied || !r.Covers(path))
            continue;
        if (!who) {
            who = &subject();
            if (who->pid == selfPid || (who->trusted && InStore(path)))
                return d;
        }
        if (r.Matches(*who)) {
            d.deny = true;
            d.entry = r.index;
            d.denied = denied;
            return d;
        }
    }
    return d;
}

Decision Policy::DecideBelow(const Subject &subject, std::string_view folder, uint32_t ops) const
{
    Decision d;
    if (!active_ || !(masks_ & ops) || guard_.Holds(folder) || subject.pid == selfPid ||
        (subject.trusted && InStore(folder)))
        return d;
    for (const Rule &r : rules_) {
        const uint32_t denied = r.mask & ops;
        // The project's own programs pass the store's guard.
        if (!denied || (subject.trusted && r.index == kStoreRule) || !r.Matches(subject))
            continue;
        const bool there = std::any_of(r.items.begin(), r.items.end(), [&](const PathItem &i) {
            return i.path == folder || IsBelow(i.path, folder) || (i.subtree && IsBelow(folder, i.path));
        });
        if (there) {
            d.deny = true;
            d.entry = r.index;
            d.denied = denied;
            return d;
        }
    }
    return d;
}

namespace {

// The name of `path` when it lies directly in `folder`, else empty.
std::string_view NameIn(std::string_view path, std::string_view folder)
{
    if (!IsBelow(path, folder))
        return {};
    std::string_view name = path.substr(folder == "/" ? 1 : folder.size() + 1);
    return name.find('/') == std::string_view::npos ? name : std::string_view();
}

// How items reach the names of `folder`: all of them, or these.
void ItemsIn(const std::vector<PathItem> &items, std::string_view folder, bool &all, PathTable &names)
{
    for (const PathItem &i : items) {
        if (i.subtree && (folder == i.path || IsBelow(folder, i.path)))
            all = true;
        else if (!i.subtree) {
            const std::string_view name = NameIn(i.path, folder);
            if (!name.empty())
                names.emplace(name);
        }
    }
}

} // namespace

Policy::Children Policy::ForChildren(const Subject &subject, std::string_view folder, uint32_t ops) const
{
    Children c;
    if (!active_ || !(masks_ & ops) || subject.pid == selfPid)
        return c;
    if (folder != "/" && guard_.Holds(folder))
        return c;
    for (const std::string &t : guard_.trees) {
        const std::string_view name = NameIn(t, folder);
        if (!name.empty())
            c.guarded_.emplace(name);
    }
    for (const std::string &o : guard_.objects) {
        const std::string_view name = NameIn(o, folder);
        if (!name.empty())
            c.guarded_.emplace(name);
    }
    const bool exempt = subject.trusted && InStore(folder);
    std::vector<uint32_t> places;
    RulesAround(folder, places);
    for (uint32_t place : places) {
        const Rule &r = rules_[place];
        const uint32_t denied = r.mask & ops;
        if (!denied || (exempt && r.index != kStoreRule) || (r.index == kStoreRule && subject.trusted) ||
            !r.Matches(subject))
            continue;
        Children::Compiled k;
        k.index = r.index;
        k.denied = denied;
        ItemsIn(r.items, folder, k.all, k.names);
        if (!k.all && k.names.empty())
            continue;
        ItemsIn(r.excluded, folder, k.allExcluded, k.excludedNames);
        if (!k.allExcluded)
            c.rules_.push_back(std::move(k));
    }
    return c;
}

Decision Policy::Children::Decide(std::string_view name) const
{
    Decision d;
    if (rules_.empty() || guarded_.find(name) != guarded_.end())
        return d;
    for (const Compiled &k : rules_) {
        if ((k.all || k.names.find(name) != k.names.end()) && k.excludedNames.find(name) == k.excludedNames.end()) {
            d.deny = true;
            d.entry = k.index;
            d.denied = k.denied;
            return d;
        }
    }
    return d;
}

uint32_t Policy::Deniable(std::string_view path) const
{
    if (!active_ || guard_.Holds(path))
        return 0;
    uint32_t bits = 0;
    std::vector<uint32_t> places;
    RulesAbove(path, places);
    for (uint32_t place : places)
        if ((rules_[place].mask & ~bits) && rules_[place].Covers(path))
            bits |= rules_[place].mask;
    return bits;
}

bool Policy::MayDeny(std::string_view path, uint32_t ops) const
{
    if (!active_ || !(masks_ & ops) || guard_.Holds(path))
        return false;
    std::vector<uint32_t> places;
    RulesAbove(path, places);
    return std::any_of(places.begin(), places.end(), [&](uint32_t p) { return (rules_[p].mask & ops) && rules_[p].Covers(path); });
}

} // namespace vx::qxd
