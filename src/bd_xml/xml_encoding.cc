#include "bd_xml/xml_encoding.h"

#include <errno.h>
#include <iconv.h>

namespace {

size_t Utf8Length(uint32_t codePoint) {
    if (codePoint < 0x80) {
        return 1;
    }
    if (codePoint < 0x800) {
        return 2;
    }
    return codePoint < 0x10000 ? 3 : 4;
}

// Sizes the output buffer: the counted length with a little room.
size_t BufferSize(size_t counted) {
    return counted + counted / 100 + 1;
}

// One conversion pass. With `out` null it only counts the output, converting into a scratch
// buffer; otherwise it writes at most `capacity` bytes to `out`. Returns the output length.
size_t IconvPass(iconv_t cd, const std::string &bytes, char *out, size_t capacity,
                 size_t *irreversible) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char scratch[4096];
    char *in = const_cast<char *>(bytes.data());  // iconv's signature; the input is not written
    size_t inLeft = bytes.size();
    size_t total = 0;
    auto room = [&]() { return out ? capacity - total : sizeof scratch; };
    auto target = [&]() { return out ? out + total : scratch; };
    auto putQuestionMark = [&]() {
        if (out && total == capacity) {
            return false;
        }
        if (out) {
            out[total] = '?';
        }
        ++total;
        return true;
    };

    bool done = false;
    while (!done) {
        char *outPtr = target();
        size_t outLeft = room();
        const size_t outBefore = outLeft;
        const size_t inBefore = inLeft;
        // Once the input is used up, the null-input call flushes any pending shift state.
        const size_t result = inLeft > 0 ? iconv(cd, &in, &inLeft, &outPtr, &outLeft)
                                         : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        const int error = errno;
        total += outBefore - outLeft;
        if (result != static_cast<size_t>(-1)) {
            *irreversible += result;
            done = inBefore == 0;
            continue;
        }
        if (error == EILSEQ && inLeft > 0) {
            // Skip the offending byte, mark the spot and start afresh after it.
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            done = !putQuestionMark();
        } else if (error == E2BIG && !out && (outBefore != outLeft || inBefore != inLeft)) {
            continue;  // the scratch buffer filled up; keep counting
        } else {
            // EINVAL: an incomplete sequence at the end, which is dropped. Anything else (a
            // full output buffer in the writing pass, or no progress at all) ends the pass too.
            done = true;
        }
    }
    return total;
}

void LogConverted(size_t length, XmlResultLog *log) {
    log->Add("converted_to", {{"encoding", "UTF-8"}, {"length", std::to_string(length)}});
}

}  // namespace

void XmlEncoding::AppendUtf8(uint32_t codePoint, std::string *out) {
    switch (Utf8Length(codePoint)) {
        case 1:
            out->push_back(static_cast<char>(codePoint));
            break;
        case 2:
            out->push_back(static_cast<char>(0xC0 | codePoint >> 6));
            out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
            break;
        case 3:
            out->push_back(static_cast<char>(0xE0 | codePoint >> 12));
            out->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
            break;
        default:
            out->push_back(static_cast<char>(0xF0 | codePoint >> 18));
            out->push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string XmlEncoding::Utf16ToUtf8(const std::string &units, XmlResultLog *log) {
    const size_t count = units.size() / 2;
    auto unitAt = [&units](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(units[2 * i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(units[2 * i + 1])) << 8;
    };
    std::string text;
    text.reserve(units.size() * 3 / 2);  // the most a unit becomes, so there is one allocation
    for (size_t i = 0; i < count; ++i) {
        const uint32_t unit = unitAt(i);
        if (unit < 0xD800 || unit > 0xDFFF) {
            AppendUtf8(unit, &text);
        } else if (i + 1 < count) {
            AppendUtf8(0x10000 + ((unit & 0x3FF) << 10 | (unitAt(i + 1) & 0x3FF)), &text);
            ++i;
        } else {
            text += '?';
        }
    }
    LogConverted(text.size(), log);
    return text;
}

bool XmlEncoding::IconvToUtf8(const std::string &bytes, const std::string &encoding,
                              XmlResultLog *log, std::string *out) {
    iconv_t cd = iconv_open("UTF-8", IconvName(encoding.empty() ? "UTF-8" : encoding).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    size_t irreversible = 0;
    const size_t counted = IconvPass(cd, bytes, nullptr, 0, &irreversible);
    std::string text(BufferSize(counted), '\0');
    irreversible = 0;
    text.resize(IconvPass(cd, bytes, &text[0], text.size(), &irreversible));
    iconv_close(cd);

    LogConverted(text.size(), log);
    if (irreversible > 0) {
        log->Add("conversion_loss", {{"count", std::to_string(irreversible)}});
    }
    out->swap(text);
    return true;
}

std::string XmlEncoding::IconvName(const std::string &encoding) {
    std::string name = encoding;
    for (char &c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return name == "UTF-16" ? "UTF-16BE" : name;
}
