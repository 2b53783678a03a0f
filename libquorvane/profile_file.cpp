// SPDX-License-Identifier: GPL-2.0-or-later
// Profile file naming and format: the one place that knows either.
#include "profile_file.h"

#include <nettle/sha2.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <limits>

// Insertion order kept, so the format marker heads the file.
using json = nlohmann::ordered_json;

namespace {

const char FORMAT_MARKER[] = "quorvane-profile";
constexpr int FORMAT_VERSION = 1;
const char HEX_DIGITS[] = "0123456789abcdef";

bool name_safe_byte(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

std::string to_hex(const unsigned char *bytes, size_t len)
{
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += HEX_DIGITS[bytes[i] >> 4];
        out += HEX_DIGITS[bytes[i] & 0xf];
    }
    return out;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF): the
// same rule nlohmann applies when it dumps and parses.
bool valid_utf8(const std::string &s)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const unsigned char *end = p + s.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t len;
        unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
        if (c >= 0xc2 && c <= 0xdf)
            len = 2;
        else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            if (c == 0xe0)
                lo = 0xa0;
            else if (c == 0xed)
                hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            if (c == 0xf0)
                lo = 0x90;
            else if (c == 0xf4)
                hi = 0x8f;
        } else
            return false;
        if (static_cast<size_t>(end - p) < len || p[1] < lo || p[1] > hi)
            return false;
        for (size_t i = 2; i < len; ++i)
            if (p[i] < 0x80 || p[i] > 0xbf)
                return false;
        p += len;
    }
    return true;
}

json string_value(const std::string &s)
{
    if (valid_utf8(s))
        return s;
    return json{{"hex", to_hex(reinterpret_cast<const unsigned char *>(s.data()), s.size())}};
}

const char *permit_word(PermitType t)
{
    switch (t) {
    case Allow: return "allow";
    case Deny: return "deny";
    }
    return nullptr;
}

const char *mode_word(ProfileMode m)
{
    switch (m) {
    case Enforce: return "enforce";
    case Complain: return "complain";
    }
    return nullptr;
}

// Unknown enumeration values are written as their number, which the reader
// refuses: qv_set_profile never stores one.
json enum_value(const char *word, uint32_t number)
{
    return word ? json(word) : json(number);
}

// Reading: each helper fills *why and returns false on the first fault. The
// reason's context ("rules[0].uids[2]") is built only on failure: listing a
// large store parses every file.
bool read_string(const json &v, std::string *out, std::string *why)
{
    if (v.is_string()) {
        *out = v.get_ref<const std::string &>();
        return true;
    }
    if (v.is_object() && v.size() == 1 && v.contains("hex") && v["hex"].is_string()) {
        const auto &hex = v["hex"].get_ref<const std::string &>();
        if (hex.size() % 2 != 0) {
            *why = ": odd number of hex digits";
            return false;
        }
        out->clear();
        out->reserve(hex.size() / 2);
        for (size_t i = 0; i < hex.size(); i += 2) {
            int h = hex_value(hex[i]), l = hex_value(hex[i + 1]);
            if (h < 0 || l < 0) {
                *why = ": not a hex digit";
                return false;
            }
            *out += static_cast<char>(h << 4 | l);
        }
        return true;
    }
    *why = ": not a string";
    return false;
}

bool read_u32(const json &v, uint32_t *out, std::string *why)
{
    if (!v.is_number_integer()) {
        *why = ": not an integer";
        return false;
    }
    if (v.is_number_unsigned() && v.get<uint64_t>() <= std::numeric_limits<uint32_t>::max()) {
        *out = static_cast<uint32_t>(v.get<uint64_t>());
        return true;
    }
    *why = ": outside 0..4294967295";
    return false;
}

bool read_word(const json &v, const char *zero, const char *one, uint32_t *out, std::string *why)
{
    if (v.is_string() && v == zero)
        *out = 0;
    else if (v.is_string() && v == one)
        *out = 1;
    else {
        *why = std::string(": expected \"") + zero + "\" or \"" + one + "\"";
        return false;
    }
    return true;
}

// Element i of a list, each read by read_one(element, &slot, why).
template <typename T, typename Read>
bool read_list(const json &v, std::vector<T> *out, std::string *why, Read read_one)
{
    if (!v.is_array()) {
        *why = ": not a list";
        return false;
    }
    out->resize(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        if (!read_one(v[i], &(*out)[i], why)) {
            *why = "[" + std::to_string(i) + "]" + *why;
            return false;
        }
    return true;
}

// Each field is named key; on failure *why is "key: reason" or "missing field key".
template <typename Read>
bool read_field(const json &obj, const char *key, std::string *why, Read read_value)
{
    auto it = obj.find(key);
    if (it == obj.end()) {
        *why = std::string("missing field ") + key;
        return false;
    }
    if (read_value(*it, why))
        return true;
    *why = key + *why;
    return false;
}

bool read_rule(const json &v, QvRule *rule, std::string *why)
{
    if (!v.is_object()) {
        *why = ": not an object";
        return false;
    }
    uint32_t word = 0;
    bool ok = read_field(v, "deny", why, [&](const json &f, std::string *w) {
                  return read_word(f, "deny", "allow", &word, w);
              }) &&
              read_field(v, "uids", why, [&](const json &f, std::string *w) {
                  return read_list(f, &rule->uids, w, read_u32);
              }) &&
              read_field(v, "app_paths", why, [&](const json &f, std::string *w) {
                  return read_list(f, &rule->app_paths, w, read_string);
              }) &&
              read_field(v, "permission", why, [&](const json &f, std::string *w) {
                  return read_u32(f, &rule->permission, w);
              });
    rule->deny = static_cast<PermitType>(word);
    if (!ok)
        *why = (why->compare(0, 8, "missing ") == 0 ? ": " : ".") + *why;
    return ok;
}

bool read_profile(const json &doc, QvProfile *out, std::string *why)
{
    if (!doc.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    auto marker = doc.find("format");
    if (marker == doc.end() || !marker->is_string() || *marker != FORMAT_MARKER) {
        *why = std::string("not a profile (no \"format\": \"") + FORMAT_MARKER + "\")";
        return false;
    }
    auto version = doc.find("format_version");
    if (version == doc.end() || !version->is_number_integer()) {
        *why = "missing or non-integer format_version";
        return false;
    }
    if (*version != FORMAT_VERSION) {
        *why = "unknown format_version " + version->dump();
        return false;
    }
    auto string_field = [](std::string *slot) {
        return [slot](const json &f, std::string *w) { return read_string(f, slot, w); };
    };
    uint32_t mode = 0;
    bool ok = read_field(doc, "file", why, string_field(&out->file)) &&
              read_field(doc, "own_app", why, string_field(&out->own_app)) &&
              read_field(doc, "version", why, string_field(&out->version)) &&
              read_field(doc, "profile_mode", why, [&](const json &f, std::string *w) {
                  return read_word(f, "complain", "enforce", &mode, w);
              }) &&
              read_field(doc, "rules", why, [&](const json &f, std::string *w) {
                  return read_list(f, &out->rules, w, read_rule);
              });
    out->profile_mode = static_cast<ProfileMode>(mode);
    return ok;
}

}  // namespace

int qv_check_path(const std::string &path)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return -EINVAL;
    if (path.size() > QV_PATH_MAX)
        return -ENAMETOOLONG;
    return 0;
}

std::string qv_profile_file_name(const std::string &path)
{
    size_t start = path.find_first_not_of('/');
    if (start == std::string::npos)
        start = path.size();
    std::string name = path.substr(start, QV_NAME_PREFIX_MAX);
    for (char &c : name)
        if (!name_safe_byte(static_cast<unsigned char>(c)))
            c = '_';
    // A leading dot would hide the file (and "." or ".." prefixes look like
    // directory entries); a leading dash reads as an option to tools.
    if (!name.empty() && (name[0] == '.' || name[0] == '-'))
        name[0] = '_';

    sha256_ctx ctx;
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, path.size(), reinterpret_cast<const uint8_t *>(path.data()));
    sha256_digest(&ctx, sizeof digest, digest);
    return name + "@" + to_hex(digest, sizeof digest) + ".json";
}

bool qv_looks_like_profile_name(const std::string &name)
{
    const size_t tail = 1 + 2 * SHA256_DIGEST_SIZE + 5;  // "@" hex ".json"
    return name.size() >= tail && name.size() <= QV_NAME_PREFIX_MAX + tail && name[0] != '.' &&
           name[name.size() - tail] == '@' && name.compare(name.size() - 5, 5, ".json") == 0;
}

std::string qv_format_profile(const QvProfile &profile)
{
    json rules = json::array();
    for (const QvRule &r : profile.rules) {
        json apps = json::array();
        for (const std::string &a : r.app_paths)
            apps.push_back(string_value(a));
        rules.push_back({
            {"deny", enum_value(permit_word(r.deny), r.deny)},
            {"uids", r.uids},
            {"app_paths", std::move(apps)},
            {"permission", r.permission},
        });
    }
    json doc = {
        {"format", FORMAT_MARKER},
        {"format_version", FORMAT_VERSION},
        {"file", string_value(profile.file)},
        {"own_app", string_value(profile.own_app)},
        {"version", string_value(profile.version)},
        {"profile_mode", enum_value(mode_word(profile.profile_mode), profile.profile_mode)},
        {"rules", std::move(rules)},
    };
    return doc.dump(2) + "\n";
}

int qv_parse_profile(const std::string &text, QvProfile *out, std::string *why)
{
    std::string reason;
    if (text.size() > QV_PROFILE_SIZE_MAX)
        reason = "larger than 64 MiB";
    else {
        json doc;
        try {
            doc = json::parse(text);
        } catch (const json::exception &e) {  // a number past double's range is out_of_range
            reason = text.empty() ? "empty file" : std::string("not JSON: ") + e.what();
        }
        if (reason.empty() && read_profile(doc, out, &reason))
            return 0;
    }
    if (why)
        *why = reason;
    return -EBADMSG;
}
