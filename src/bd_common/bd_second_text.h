#ifndef BD_COMMON_BD_SECOND_TEXT_H_
#define BD_COMMON_BD_SECOND_TEXT_H_

#include <stddef.h>

#include <string>
#include <string_view>

#include "bd_common/bd_time.h"

// One of BdTime's text forms of a wall-clock second, remembered for the last second asked for, so
// that callers formatting the same second again and again (the log writes several entries a
// second) convert it to local time once.
//
// Exact because glibc's localtime_r reads the time zone only at its first conversion and never
// again: the same second always gives the same text. A process that changes TZ and calls tzset
// later would see the old zone here until the second changes; nothing in the server does.
//
// Trivially destructible, so a thread-local one stays usable while the thread's other
// thread-local objects are destroyed. Not thread-safe: the owner keeps one per thread or guards
// it with a lock of its own.
class BdSecondText {
  public:
    // A text form of BdTime, such as &BdTime::ToDate; its text must fit in 64 bytes, as BdTime's
    // own forms do.
    using Form = std::string (BdTime::*)() const;

    constexpr explicit BdSecondText(Form form) : _form(form) {}

    // The same bytes as (BdTime::Second(seconds).*form)(); valid until the next call.
    std::string_view Of(long seconds) {
        if (!_known || seconds != _seconds) {
            Convert(seconds);
        }
        return std::string_view(_text, _length);
    }
    // Drops the remembered second, so the next call converts again.
    void Forget() { _known = false; }

  private:
    void Convert(long seconds);

    Form _form;
    bool _known = false;
    long _seconds = 0;
    size_t _length = 0;
    char _text[64] = {};
};

#endif  // BD_COMMON_BD_SECOND_TEXT_H_
