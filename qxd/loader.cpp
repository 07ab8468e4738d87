#include "qxd/loader.h"

#include "platform/registry/registry.h"

#include <algorithm>
#include <ostream>
#include <unordered_map>
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
    std::unordered_map<std::string, TRegValue> values;
    for (auto &v : reg.ReadValues())
        values.emplace(vx::registry::FoldName(v.Name), std::move(v));

    std::size_t loaded = 0;
    // Rows are "0".."EntryCount-1"; a count beyond the values the key holds is not believed.
    std::size_t n = std::min<std::size_t>(*count, kMaxEntries);
    if (n > values.size()) {
        log << "qxd-engine: EntryCount " << *count << " but the key holds " << values.size()
            << " values; reading the rows that can be there" << std::endl;
        n = values.size();
    }
    for (std::size_t i = 0; i < n; ++i) {
        auto it = values.find(std::to_string(i));
        if (it == values.end() || (it->second.Type != REG_SZ && it->second.Type != REG_EXPAND_SZ)) {
            log << "qxd-engine: stored entry " << i << " is missing or not a text; skipped" << std::endl;
            continue;
        }
        std::string text = it->second.Data;
        if (auto zero = text.find('\0'); zero != std::string::npos)
            text.resize(zero);
        std::optional<Entry> entry = ParseStoredEntry(text);
        if (!entry) {
            log << "qxd-engine: stored entry " << i << " cannot be read (\"" << text << "\"); skipped" << std::endl;
            continue;
        }
        if (!engine.Append(std::move(*entry))) {
            log << "qxd-engine: the engine is full; stopped loading at stored entry " << i << std::endl;
            break;
        }
        ++loaded;
    }
    log << "qxd-engine: loaded " << loaded << " stored entr" << (loaded == 1 ? "y" : "ies") << std::endl;
    return loaded;
}

} // namespace vx::qxd
