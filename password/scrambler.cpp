#include "password/scrambler.h"

#include "platform/registry/registry.h"

#include <chrono>
#include <mutex>
#include <random>

const AnsiString ScrambleKey = "k#%$&!+47";
const char *const PasswordKeyPath = "SOFTWARE\\TOVRA\\Vellamorix\\pass";
const char *const PasswordValueName = "pass";

namespace {

std::mutex g_sourceMutex;
ScrambleOffsetSource g_source;

int DrawOffset()
{
    {
        std::lock_guard<std::mutex> lock(g_sourceMutex);
        if (g_source)
            return g_source() & 0xFF;
    }
    // Seeded afresh from the clock and the system's entropy at every draw.
    std::random_device device;
    const auto now = static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), static_cast<unsigned>(now), static_cast<unsigned>(now >> 32)};
    std::mt19937 generator(seed);
    return std::uniform_int_distribution<int>(0, 255)(generator);
}

void AppendHex(AnsiString &out, unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    out += digits[(value >> 4) & 0xF];
    out += digits[value & 0xF];
}

unsigned HexValue(const AnsiString &text)
{
    bool ok = !text.empty();
    unsigned value = 0;
    for (char c : text) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else {
            ok = false;
            break;
        }
        value = value * 16 + d;
    }
    if (!ok)
        throw EConvertError("'" + text + "' is not a valid hexadecimal number: the stored password cannot be read");
    return value;
}

// Key byte for the next position; positions run 1..L and start again at 1.
unsigned NextKeyByte(const AnsiString &key, size_t &p)
{
    if (key.empty())
        return 0;
    p = p < key.size() ? p + 1 : 1;
    return static_cast<unsigned char>(key[p - 1]);
}

AnsiString Unscramble(const AnsiString &s, const AnsiString &key)
{
    AnsiString out;
    const size_t m = s.size();
    unsigned o = HexValue(s.substr(0, 2));
    size_t p = 0;
    size_t i = 3; // 1-based read position
    do {
        const unsigned w = HexValue(i - 1 <= m ? s.substr(i - 1, 2) : AnsiString());
        const unsigned t = w ^ NextKeyByte(key, p);
        const unsigned plain = t <= o ? t + 255 - o : t - o;
        out += static_cast<char>(plain & 0xFF);
        o = w;
        i += 2;
    } while (i < m);
    return out;
}

} // namespace

AnsiString ScrambleWithOffset(const AnsiString &Src, const AnsiString &Key, uint8_t offset)
{
    AnsiString out;
    out.reserve(2 + 2 * Src.size());
    unsigned o = offset;
    AppendHex(out, o);
    size_t p = 0;
    for (char c : Src) {
        unsigned v = (static_cast<unsigned char>(c) + o) % 255;
        v ^= NextKeyByte(Key, p);
        AppendHex(out, v);
        o = v;
    }
    return out;
}

AnsiString ScrambleText(const AnsiString &Action, const AnsiString &Src, const AnsiString &Key)
{
    if (Action == "D")
        return Unscramble(Src, Key);
    if (Action != "E")
        return AnsiString();
    const int first = DrawOffset();
    if (Src.empty())
        return ScrambleWithOffset(Src, Key, static_cast<uint8_t>(first));
    // Some offsets lose a byte (255 after an offset of 255); try the next ones until it comes back.
    for (int attempt = 0; attempt < 256; ++attempt) {
        const AnsiString text = ScrambleWithOffset(Src, Key, static_cast<uint8_t>((first + attempt) & 0xFF));
        if (Unscramble(text, Key) == Src)
            return text;
    }
    throw EScrambleError("The password contains a character that cannot be stored");
}

ScrambleOffsetSource SetScrambleOffsetSource(ScrambleOffsetSource source)
{
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    ScrambleOffsetSource previous = std::move(g_source);
    g_source = std::move(source);
    return previous;
}

AnsiString ReadStoredPassword()
{
    const auto fail = [](const std::string &why) {
        throw EPasswordReadError("The stored password cannot be read: " + why);
    };
    TRegistry reg(KEY_READ);
    reg.RootKey = HKEY_LOCAL_MACHINE;
    if (!reg.OpenKeyReadOnly(PasswordKeyPath)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return AnsiString(); // no store or no key: no password yet
        fail(error == ERROR_ACCESS_DENIED ? "the registry store cannot be opened"
                                          : "the registry store cannot be read (error " + std::to_string(error) + ")");
    }
    const std::optional<TRegValue> value = reg.ReadValue(PasswordValueName);
    if (!value) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return AnsiString();
        fail("the registry store cannot be read (error " + std::to_string(error) + ")");
    }
    if (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ)
        fail("the value is not a text");
    const size_t zero = value->Data.find('\0');
    return zero == std::string::npos ? value->Data : value->Data.substr(0, zero);
}

bool StorePassword(const AnsiString &plain)
{
    // The offset pair alone could never be checked again: that would lock the user out.
    if (plain.empty())
        throw EScrambleError("An empty password cannot be stored");
    TRegistry reg;
    reg.RootKey = HKEY_LOCAL_MACHINE;
    if (!reg.OpenKey(PasswordKeyPath, true))
        return false;
    reg.WriteString(PasswordValueName, ScrambleText("E", plain, ScrambleKey));
    reg.CloseKey();
    return true;
}

bool CheckPassword(const AnsiString &plain)
{
    // A check needs no write rights; a missing or empty value fails to unscramble.
    const AnsiString stored = ReadStoredPassword();
    return ScrambleText("D", stored, ScrambleKey) == plain;
}
