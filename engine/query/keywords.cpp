#include "engine/query/keywords.h"

#include <algorithm>
#include <array>

namespace dadoveri {

namespace {

// In number order: the position of a word is its number.
constexpr std::array<std::string_view, kKeywordCount> kKeywords = {
    "ABSOLUTE", "ACTION", "ADD", "ALL", "ALLOCATE", "ALTER", "AND", "ANY", "ARE", "AS", "ASC",
    "ASSERTION", "AT", "AUTHORIZATION", "AVG", "BEGIN", "BETWEEN", "BIT", "BIT_LENGTH", "BOTH",
    "BY", "CASCADE", "CASCADED", "CASE", "CAST", "CATALOG", "CHAR", "CHARACTER", "CHAR_LENGTH",
    "CHARACTER_LENGTH", "CHECK", "CLOSE", "COALESCE", "COLLATE", "COLLATION", "COLUMN", "COMMIT",
    "CONNECT", "CONNECTION", "CONSTRAINT", "CONSTRAINTS", "CONTINUE", "CONVERT", "CORRESPONDING",
    "COUNT", "CREATE", "CROSS", "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP",
    "CURRENT_USER", "CURSOR", "DATE", "DAY", "DEALLOCATE", "DEC", "DECIMAL", "DECLARE", "DEFAULT",
    "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DESCRIBE", "DESCRIPTOR", "DIAGNOSTICS",
    "DISCONNECT", "DISTINCT", "DOMAIN", "DOUBLE", "DROP", "ELSE", "END", "END-EXEC", "ESCAPE",
    "EXCEPT", "EXCEPTION", "EXEC", "EXECUTE", "EXISTS", "EXTERNAL", "EXTRACT", "FALSE", "FETCH",
    "FIRST", "FLOAT", "FOR", "FOREIGN", "FOUND", "FROM", "FULL", "GET", "GLOBAL", "GO", "GOTO",
    "GRANT", "GROUP", "HAVING", "HOUR", "IDENTITY", "IMMEDIATE", "IN", "INDICATOR", "INITIALLY",
    "INNER", "INPUT", "INSENSITIVE", "INSERT", "INT", "INTEGER", "INTERSECT", "INTERVAL", "INTO",
    "IS", "ISOLATION", "JOIN", "KEY", "LANGUAGE", "LAST", "LEADING", "LEFT", "LEVEL", "LIKE",
    "LOCAL", "LOWER", "MATCH", "MAX", "MEMORY", "MIN", "MINUS", "MINUTE", "MODULE", "MONTH",
    "NAMES", "NATIONAL", "NATURAL", "NCHAR", "NEXT", "NO", "NOT", "NULL", "NULLIF", "NUMERIC",
    "OCTET_LENGTH", "OF", "ON", "ONLY", "OPEN", "OPTION", "OR", "ORDER", "OUTER", "OUTPUT",
    "OVERLAPS", "PAD", "PARTIAL", "POSITION", "PRECISION", "PREPARE", "PRESERVE", "PRIMARY",
    "PRIOR", "PRIVILEGES", "PROCEDURE", "PUBLIC", "READ", "REAL", "REFERENCES", "RELATIVE",
    "RESTRICT", "REVOKE", "RIGHT", "ROLLBACK", "ROWS", "SCHEMA", "SCROLL", "SECOND", "SECTION",
    "SELECT", "SESSION", "SESSION_USER", "SET", "SIZE", "SMALLINT", "SOME", "SPACE", "SQL",
    "SQLCODE", "SQLERROR", "SQLSTATE", "SUBSTRING", "SUM", "SYSTEM_USER", "TABLE", "TEMPORARY",
    "THEN", "TIME", "TIMESTAMP", "TIMEZONE_HOUR", "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING",
    "TRANSACTION", "TRANSLATE", "TRANSLATION", "TRIM", "TRUE", "UNION", "UNIQUE", "UNKNOWN",
    "UPDATE", "UPPER", "USAGE", "USER", "USING", "VALUE", "VALUES", "VARCHAR", "VARYING", "VIEW",
    "WHEN", "WHENEVER", "WHERE", "WITH", "WORK", "WRITE", "YEAR", "ZONE", "PASSWORD",
    "BLOBBLOCKSIZE", "BLOBCOMPRESSIONMODE", "BLOBCOMPRESSIONALGORITHM", "LASTAUTOINC", "MODIFY",
    "NEW", "INDEX", "NOCASE", "LTRIM", "RTRIM", "POS", "LENGTH", "SYSDATE", "NOW", "TODATE",
    "TOSTRING", "AUTOINDEXES", "NOAUTOINDEXES", "INCREMENT", "LASTVALUE", "MAXVALUE", "MINVALUE",
    "CYCLED", "NOMAXVALUE", "NOMINVALUE", "NOCYCLED", "INITIALVALUE", "STARTVALUE", "RENAME",
    "START", "FLUSH", "AUTOINC", "MIMETOBIN", "ROWNUM", "IF", "TRUNCATE", "DOD", "ACOS", "ASIN",
    "ATAN", "CEIL", "COS", "EXP", "FLOOR", "LOG", "POWER", "RAND", "ROUND", "SIGN", "SIN", "SQR",
    "SQRT", "HALFEVEN", "HALFPOS", "HALFNEG", "HALFDOWN", "HALFUP", "RNDNEG", "RNDPOS", "RNDDOWN",
    "RNDUP",
};

constexpr size_t kLongestKeyword = 24;

// The keyword numbers ordered by their words, for a binary search.
struct SortedKeywords {
  std::array<uint16_t, kKeywordCount> numbers{};
  SortedKeywords() {
    for (int i = 0; i < kKeywordCount; ++i) numbers[i] = static_cast<uint16_t>(i);
    std::sort(numbers.begin(), numbers.end(), [](uint16_t a, uint16_t b) { return kKeywords[a] < kKeywords[b]; });
  }
};

const SortedKeywords& sorted_keywords() {
  static const SortedKeywords sorted;
  return sorted;
}

}  // namespace

std::string_view KeywordText(int number) {
  return number >= 0 && number < kKeywordCount ? kKeywords[number] : std::string_view();
}

uint16_t FindKeyword(std::u16string_view word) {
  if (word.empty() || word.size() > kLongestKeyword) return kNoKeyword;
  char upper[kLongestKeyword];
  for (size_t i = 0; i < word.size(); ++i) {
    const char16_t c = word[i];
    if (c >= 0x80) return kNoKeyword;  // every keyword is plain ASCII
    upper[i] = static_cast<char>(c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c);
  }
  const std::string_view key(upper, word.size());
  const auto& numbers = sorted_keywords().numbers;
  const auto it = std::lower_bound(numbers.begin(), numbers.end(), key,
                                   [](uint16_t n, std::string_view k) { return kKeywords[n] < k; });
  return it != numbers.end() && kKeywords[*it] == key ? *it : kNoKeyword;
}

}  // namespace dadoveri
