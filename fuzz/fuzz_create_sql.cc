// BdDatabase::CreateSQL over arbitrary templates and arguments, with the router's "?" pattern and
// with an arbitrary one. Needs no server: escaping works without a connection. The input is a list
// of texts separated by zero bytes: the template, then the arguments; the second run takes the
// first argument as the pattern.
//
// Every result is compared with a plain model: a template with k placeholders takes k arguments,
// or k + 1 when text follows its last placeholder; each argument lands escaped where its
// placeholder was, an empty piece before a placeholder standing as one space.
#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_database/bd_database.h"
#include "fuzz_check.h"
#include "fuzz_words.h"

namespace {

// True when the text, put between single quotes, cannot end the quoted value early: every quote
// in it is escaped by a backslash.
bool StaysInsideQuotes(const std::string &escaped) {
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\') {
            ++i;
        } else if (escaped[i] == '\'') {
            return false;
        }
    }
    return true;
}

void CheckCreateSql(BdDatabase &database, const std::string &sqlTemplate,
                    const std::string &pattern, const std::vector<std::string> &args) {
    const std::string untouched = "untouched";
    std::string sql = untouched;
    int rc = database.CreateSQL(sqlTemplate, pattern, args, sql);
    if (sqlTemplate.empty() || pattern.empty()) {
        FUZZ_CHECK(rc == BD_PARAMETER_INVALID && sql == untouched);
        return;
    }

    std::vector<std::string> pieces;
    size_t position = 0;
    for (size_t at = sqlTemplate.find(pattern); at != std::string::npos;
         at = sqlTemplate.find(pattern, position)) {
        pieces.push_back(at > position ? sqlTemplate.substr(position, at - position) : " ");
        position = at + pattern.size();
    }
    const size_t placeholders = pieces.size();
    const std::string tail = sqlTemplate.substr(position);
    const bool fits =
        args.size() == placeholders || (!tail.empty() && args.size() == placeholders + 1);
    if (!fits) {
        FUZZ_CHECK(rc == BD_PARAMETER_INVALID && sql == untouched);
        return;
    }
    FUZZ_CHECK(rc == BD_SUCCESS);

    std::string expected;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string escaped = database.EscapeString(args[i]);
        FUZZ_CHECK(StaysInsideQuotes(escaped));
        expected += i < placeholders ? pieces[i] : tail;
        expected += escaped;
    }
    if (args.size() == placeholders) {
        expected += tail;
    }
    FUZZ_CHECK(sql == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words = SplitAtZeroBytes(data, size);
    if (words.size() > 256) {
        return 0;
    }
    static BdDatabase database;  // never opened
    const std::string sqlTemplate = words.front();
    std::vector<std::string> args(words.begin() + 1, words.end());
    CheckCreateSql(database, sqlTemplate, "?", args);
    if (!args.empty()) {
        const std::string pattern = args.front();
        args.erase(args.begin());
        CheckCreateSql(database, sqlTemplate, pattern, args);
    }
    return 0;
}
