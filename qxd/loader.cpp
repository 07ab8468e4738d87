#include "qxd/loader.h"

#include "platform/registry/registry.h"

#include <algorithm>
#include <ostream>
#include <map>
#include <vector>

namespace vx::qxd {

std::optional<Entry> ParseStoredEntry(const std::string &text)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        pieces.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (pieces.size() != 5 || pieces[0].empty())
        return std::nullopt;
    const std::string &mask = pieces[4];
    if (mask.empty() || mask.size() > 10 || !std::all_of(mask.begin(), mask.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const unsigned long long value = std::stoull(mask);
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    for (const auto &p : pieces)
        if (p.size() > kMaxStringLen || p.find('\0') != std::string::npos)
            return std::nullopt;
    Entry e;
    e.fileFolder = pieces[0];
    e.process = pieces[1];
    e.excludeFileFolder = pieces[2];
    e.excludeProcess = pieces[3];
    e.mask = uint32_t(value);
    e.flag = 1;
    return e;
}

std::size_t LoadStoredEntries(Engine &engine, std::ostream &log)
{
    TRegistry reg(KEY_READ);
    if (!reg.OpenKeyReadOnly(kEntryKey)) {
        log << "qxd-engine: no stored entries (" << kEntryKey << " not found)" << std::endl;
        return 0;
    }
    const std::optional<DWORD> count = reg.ReadDword("EntryCount");
    if (!count) {
        log << "qxd-engine: stored entries have no EntryCount; nothing loaded" << std::endl;
        return 0;
    }
    // Rows are named "0".."EntryCount-1" in plain decimal. Only the rows the key holds are
    // visited, so a count far beyond them costs nothing; the rows missing are named by range.
    const std::size_t n = std::min<std::size_t>(*count, kMaxEntries);
    std::map<std::size_t, TRegValue> rows;
    std::size_t values = 0;
    for (auto &v : reg.ReadValues()) {
        ++values;
        const std::string &name = v.Name;
        if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0') ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const unsigned long long index = std::stoull(name);
        if (index < n)
            rows.emplace(std::size_t(index), std::move(v));
    }
    if (*count > rows.size())
        log << "qxd-engine: EntryCount " << *count << " but the key holds " << values
            << " values; reading the rows that are there" << std::endl;

    std::size_t loaded = 0, expect = 0;
    auto reportMissing = [&](std::size_t upTo) {
        if (upTo > expect + 1)
            log << "qxd-engine: stored entries " << expect << " to " << upTo - 1 << " are missing; skipped" << std::endl;
        else if (upTo == expect + 1)
            log << "qxd-engine: stored entry " << expect << " is missing; skipped" << std::endl;
    };
    for (auto &[i, value] : rows) {
        reportMissing(i);
        expect = i + 1;
        if (value.Type != REG_SZ && value.Type != REG_EXPAND_SZ) {
            log << "qxd-engine: stored entry " << i << " is not a text; skipped" << std::endl;
            continue;
        }
        std::string text = value.Data;
        if (auto zero = text.find('\0'); zero != std::string::npos)
            text.resize(zero);
        std::optional<Entry> entry = ParseStoredEntry(text);
        if (!entry) {
            log << "qxd-engine: stored entry " << i << " cannot be read (\"" << text << "\"); skipped" << std::endl;
            continue;
        }
        if (!engine.Append(std::move(*entry))) {
            log << "qxd-engine: the engine is full; stopped loading at stored entry " << i << std::endl;
            expect = n;
            break;
        }
        ++loaded;
    }
    reportMissing(n);
    log << "qxd-engine: loaded " << loaded << " stored entr" << (loaded == 1 ? "y" : "ies") << std::endl;
    return loaded;
}

} // namespace vx::qxd
