#include "bd_common/bd_second_text.h"

#include <string.h>

#include <algorithm>

void BdSecondText::Convert(long seconds) {
    std::string text = (BdTime::Second(seconds).*_form)();
    _length = std::min(text.size(), sizeof(_text));
    memcpy(_text, text.data(), _length);
    _seconds = seconds;
    _known = true;
}
