#include "files/error.h"

std::string Error::text() const
{
    switch (kind) {
    case none:
        return "";
    case not_a_carrier:
        return "not a carrier: " + detail;
    case write_protected:
        return "is write-protected";
    case out_of_memory:
        return "not enough memory";
    case codec_out_of_memory:
        return "not enough memory to encode it";
    case codec_refused:
        return "the codec refused its rows";
    default:
        return detail;
    }
}

std::string library_reason(const char *message)
{
    std::string text = message;
    if (text.size() >= 2 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = (char)(text[0] - 'A' + 'a');
    return text;
}
