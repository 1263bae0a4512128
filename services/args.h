// What every service of the control channel reads requests and writes replies
// with: words, decimal numbers, bad values quoted, and JSON. Replies are plain
// ASCII: every byte outside printable ASCII is escaped.
#pragma once

#include <QByteArray>
#include <QJsonValue>

#include <string>
#include <string_view>
#include <vector>

class QJsonArray;
class QJsonObject;

namespace cvi::args {

// ---- Words ----
std::string lower(std::string s);
bool sameWord(std::string_view a, std::string_view b);  // in any case
// Spaces and tabs only: any other byte is part of the request (and refused).
std::string trim(const std::string& s);
// The words of a request, split at runs of spaces and tabs.
std::vector<std::string> words(const std::string& s);
// The first word and the rest, trimmed.
std::pair<std::string, std::string> firstWord(const std::string& s);

// ---- Numbers: decimal only ----
// Digits with an optional sign and one decimal point ("2", "-0.5", ".25"); no
// exponent, no hexadecimal, no inf or nan.
bool parseDecimal(const std::string& s, double& out);
// A whole number from lo to hi, in decimal digits (a leading '-' when lo < 0).
bool parseWhole(const std::string& s, long long lo, long long hi, long long& out);
// Six significant digits (printf's %g).
std::string formatNumber(double v);

// ---- Quoting ----
// The bytes as ASCII: printable ASCII kept, anything else "\xHH". (A reply's
// last step; JSON in it is ASCII already.)
std::string escaped(std::string_view bytes);
// A piece of a request fit to quote in an error: in double quotes, with '"' and
// '\' escaped by a backslash and other bytes outside printable ASCII "\xHH", cut
// after 40 bytes.
std::string quoted(std::string_view s);
// "error bad value "WORD" for VERB: expected EXPECTED".
std::string badValue(std::string_view word, std::string_view verb, std::string_view expected);
// "error unexpected word "WORD" after WHAT": the first word too many.
std::string extraWord(std::string_view word, std::string_view what);

// ---- JSON ----
// The channel's texts are bytes (Latin-1 for the panel's) and its JSON plain
// ASCII: every byte outside printable ASCII is written \u00XX. Objects keep the
// order members are added in (QJsonObject sorts its keys).
QByteArray written(const QJsonValue& value);
QByteArray written(const QJsonArray& array);
QByteArray written(const QJsonObject& object);
QJsonValue latin1(const std::string& bytes);
// JSON text for a string of bytes, quotes included.
std::string jsonString(const std::string& bytes);

class OrderedObject {
public:
    OrderedObject& add(const char* key, const QJsonValue& value) { return addWritten(key, written(value)); }
    OrderedObject& add(const char* key, const OrderedObject& value) { return addWritten(key, value.text()); }
    // A value already written as JSON text.
    OrderedObject& addWritten(const char* key, const QByteArray& json);
    QByteArray text() const { return '{' + m_members + '}'; }

private:
    QByteArray m_members;
};

}  // namespace cvi::args
