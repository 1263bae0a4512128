#include "args.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cvi::args {
namespace {
constexpr char kHex[] = "0123456789abcdef";
}  // namespace

std::string lower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lower(std::string(a)) == lower(std::string(b));
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while ((i = s.find_first_not_of(" \t", i)) != std::string::npos) {
        const std::size_t j = s.find_first_of(" \t", i);
        out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos) break;
        i = j;
    }
    return out;
}

std::pair<std::string, std::string> firstWord(const std::string& s) {
    const std::string t = trim(s);
    const auto space = t.find_first_of(" \t");
    if (space == std::string::npos) return {t, {}};
    return {t.substr(0, space), trim(t.substr(space))};
}

bool parseDecimal(const std::string& s, double& out) {
    if (s.empty() || s.size() > 32) return false;
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    int digits = 0, points = 0;
    for (; i < s.size(); ++i) {
        if (s[i] >= '0' && s[i] <= '9') ++digits;
        else if (s[i] == '.' && ++points == 1) continue;
        else return false;
    }
    if (digits == 0) return false;
    out = std::strtod(s.c_str(), nullptr);  // only digits and a point get here
    return std::isfinite(out);
}

bool parseWhole(const std::string& s, long long lo, long long hi, long long& out) {
    const std::size_t start = (!s.empty() && s[0] == '-') ? 1 : 0;
    if (s.size() <= start || s.size() > 19) return false;
    for (std::size_t i = start; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    const long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

std::string formatNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x20 && b < 0x7f) {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

std::string quoted(std::string_view s) {
    constexpr std::size_t kMost = 40;
    std::string out = "\"";
    for (const char ch : s.substr(0, kMost)) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    out = escaped(out);
    if (s.size() > kMost) out += "...";
    return out + "\"";
}

std::string badValue(std::string_view word, std::string_view verb, std::string_view expected) {
    return "error bad value " + quoted(word) + " for " + std::string(verb) + ": expected " + std::string(expected);
}

std::string extraWord(std::string_view word, std::string_view what) {
    return "error unexpected word " + quoted(word) + " after " + std::string(what);
}

namespace {

// Qt's compact JSON text brought to the channel's ASCII form: Qt writes UTF-8
// and \b, \f; the channel writes \u00XX for every byte outside printable ASCII.
QByteArray asAscii(const QByteArray& qtJson) {
    const QString text = QString::fromUtf8(qtJson);
    QByteArray out;
    out.reserve(qtJson.size());
    const auto escape = [&out](char16_t u) { out += "\\u" + QByteArray::number(u, 16).rightJustified(4, '0'); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u == '\\' && i + 1 < text.size()) {  // an escape of Qt's, kept unless \b or \f
            const char16_t next = text[++i].unicode();
            if (next == 'b') {
                escape(0x08);
            } else if (next == 'f') {
                escape(0x0c);
            } else {
                out += '\\';
                out += static_cast<char>(next);
            }
        } else if (u >= 0x7f || u < 0x20) {
            escape(u);
        } else {
            out += static_cast<char>(u);
        }
    }
    return out;
}

}  // namespace

QByteArray written(const QJsonArray& array) { return asAscii(QJsonDocument(array).toJson(QJsonDocument::Compact)); }
QByteArray written(const QJsonObject& object) { return asAscii(QJsonDocument(object).toJson(QJsonDocument::Compact)); }

// Qt writes only whole documents: the value goes in an array of one and comes
// out of its brackets.
QByteArray written(const QJsonValue& value) {
    const QByteArray array = written(QJsonArray{value});
    return array.mid(1, array.size() - 2);
}

QJsonValue latin1(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string jsonString(const std::string& bytes) { return written(latin1(bytes)).toStdString(); }

OrderedObject& OrderedObject::addWritten(const char* key, const QByteArray& json) {
    if (!m_members.isEmpty()) m_members += ',';
    m_members += written(QJsonValue(QLatin1String(key))) + ':' + json;
    return *this;
}

}  // namespace cvi::args
