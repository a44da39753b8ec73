#include "app/TextFormat.h"

#include <cstdio>
#include <vector>

namespace {

struct Directive {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
    char conversion = 0;
};

std::string Pad(std::string body, const Directive& directive, bool numeric) {
    if (static_cast<int>(body.size()) >= directive.width) {
        return body;
    }
    size_t fill = static_cast<size_t>(directive.width) - body.size();
    if (directive.leftAlign) {
        return body + std::string(fill, ' ');
    }
    if (directive.zeroPad && numeric) {
        size_t signLength = (!body.empty() && body[0] == '-') ? 1 : 0;
        return body.substr(0, signLength) + std::string(fill, '0') + body.substr(signLength);
    }
    return std::string(fill, ' ') + body;
}

std::string Number(const char* format, uint32_t value, bool asSigned, int precision) {
    char buffer[32];
    if (asSigned) {
        std::snprintf(buffer, sizeof buffer, format, precision < 0 ? 1 : precision,
                      static_cast<int32_t>(value));
    } else {
        std::snprintf(buffer, sizeof buffer, format, precision < 0 ? 1 : precision, value);
    }
    return buffer;
}

std::string Convert(const Directive& directive, const FormatArg* arg) {
    switch (directive.conversion) {
    case 's': {
        std::string text = arg == nullptr ? "" : (arg->isText ? arg->text : std::to_string(arg->number));
        if (directive.precision >= 0 && static_cast<size_t>(directive.precision) < text.size()) {
            text.resize(static_cast<size_t>(directive.precision));
        }
        return Pad(text, directive, false);
    }
    case 'c': {
        char c = arg == nullptr ? ' '
                                : (arg->isText ? (arg->text.empty() ? ' ' : arg->text[0])
                                               : static_cast<char>(arg->number));
        return Pad(std::string(1, c), directive, false);
    }
    default:
        break;
    }
    uint32_t value = (arg == nullptr || arg->isText) ? 0 : arg->number;
    switch (directive.conversion) {
    case 'd':
    case 'i':
        return Pad(Number("%.*d", value, true, directive.precision), directive, directive.precision < 0);
    case 'u':
        return Pad(Number("%.*u", value, false, directive.precision), directive, directive.precision < 0);
    case 'x':
        return Pad(Number("%.*x", value, false, directive.precision), directive, directive.precision < 0);
    default:
        return Pad(Number("%.*X", value, false, directive.precision), directive, directive.precision < 0);
    }
}

bool IsConversion(char c) {
    return c == 's' || c == 'c' || c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X';
}

} // namespace

std::string FormatText(const std::string& format, std::initializer_list<FormatArg> args) {
    std::vector<const FormatArg*> list;
    for (const FormatArg& arg : args) {
        list.push_back(&arg);
    }
    std::string out;
    size_t next = 0;
    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        size_t start = i++;
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        Directive directive;
        for (; i < format.size() && (format[i] == '-' || format[i] == '0'); ++i) {
            (format[i] == '-' ? directive.leftAlign : directive.zeroPad) = true;
        }
        for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
            directive.width =
                directive.width < 1000 ? directive.width * 10 + (format[i] - '0') : directive.width;
        }
        if (i < format.size() && format[i] == '.') {
            directive.precision = 0;
            for (++i; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
                directive.precision = directive.precision < 1000
                                          ? directive.precision * 10 + (format[i] - '0')
                                          : directive.precision;
            }
        }
        while (i < format.size() && (format[i] == 'l' || format[i] == 'h')) {
            ++i;
        }
        if (i >= format.size() || !IsConversion(format[i])) {
            // Not a conversion we know: keep the text as it stands.
            out.append(format, start, i - start);
            continue;
        }
        directive.conversion = format[i++];
        const FormatArg* arg = next < list.size() ? list[next] : nullptr;
        ++next;
        out += Convert(directive, arg);
    }
    return out;
}
