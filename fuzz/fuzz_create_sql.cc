// BdDatabase::CreateSQL over arbitrary templates and arguments, with the router's "?" pattern and
// with an arbitrary one. The input is a list of texts separated by zero bytes: the template, then
// the arguments; the second run takes the first argument as the pattern.
//
// Every result is compared with a plain model: a template with k placeholders takes k arguments,
// or k + 1 when text follows its last placeholder; each argument lands escaped where its
// placeholder was, an empty piece before a placeholder standing as one space.
//
// Escaping needs no server. When the environment names the private test database (RT_DB_*, as
// scripts/test.sh exports it), the connection's own escaping is used instead, and a few arguments
// per input also go to the server inside SELECT '?': each must come back unchanged.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_database/bd_database.h"
#include "bd_database/bd_database_operation.h"
#include "fuzz_check.h"
#include "fuzz_words.h"
#include "support/test_database.h"

namespace {

BdDatabase g_database;
BdDatabaseOperation g_operation;
bool g_connected = false;

// Text the connection's character set ("utf8", at most three bytes a character) holds as it is:
// only such an argument can be expected back byte for byte.
bool IsThreeByteUtf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80             ? 1
                              : (lead & 0xE0) == 0xC0 ? 2
                              : (lead & 0xF0) == 0xE0 ? 3
                                                      : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        uint32_t codePoint = length == 1 ? lead : lead & (length == 2 ? 0x1F : 0x0F);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            codePoint = codePoint << 6 | (next & 0x3F);
        }
        const uint32_t smallest = length == 1 ? 0 : length == 2 ? 0x80 : 0x800;
        if (codePoint < smallest || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// No argument may end its quotes early or change the statement around it.
void CheckOnServer(const std::string &argument) {
    if (!g_connected || !IsThreeByteUtf8(argument)) {
        return;
    }
    std::vector<std::string> args{argument};
    BdDatabaseOperation::Rows rows;
    FUZZ_CHECK(g_operation.Query("SELECT '?'", &args, &rows) == BD_SUCCESS);
    FUZZ_CHECK(rows.size() == 1 && rows[0].size() == 1 && rows[0][0] == argument);
}

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

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    TestDatabaseAddress address;
    if (TestDatabaseAddress::FromEnvironment(&address)) {
        g_connected = g_database.Init(address.host, address.user, address.password, address.name,
                                      address.port, BdDatabase::kMysql) == 1 &&
                      g_operation.Init(&g_database);
        fprintf(stderr, "fuzz_create_sql: %s\n",
                g_connected ? "checking arguments on the server" : "no server, escaping only");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words = SplitAtZeroBytes(data, size);
    if (words.size() > 256) {
        return 0;
    }
    const std::string sqlTemplate = words.front();
    std::vector<std::string> args(words.begin() + 1, words.end());
    CheckCreateSql(g_database, sqlTemplate, "?", args);
    for (size_t i = 0; i < args.size() && i < 3; ++i) {
        CheckOnServer(args[i]);
    }
    if (!args.empty()) {
        const std::string pattern = args.front();
        args.erase(args.begin());
        CheckCreateSql(g_database, sqlTemplate, pattern, args);
    }
    return 0;
}
