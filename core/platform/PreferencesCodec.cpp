// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/PreferencesCodec.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString dataTag = QStringLiteral("$data");
const QString dateTag = QStringLiteral("$date");
const QString doubleTag = QStringLiteral("$double");
const QString mapTag = QStringLiteral("$map");

// Dates further than this from 1970 read as absent.
constexpr double maxReadableDateSeconds = 1e14;
// setValue() takes dates up to about 31,700 years either side of 1970: within this
// range seconds written with a millisecond fraction read back to the same millisecond.
constexpr qint64 maxStorableDateMs = 1'000'000'000'000'000;

std::optional<QVariant> fromJson(const QJsonValue &json);

QVariant dateFromSeconds(const QJsonValue &seconds)
{
    const double value = seconds.toDouble();
    if (!std::isfinite(value) || std::abs(value) > maxReadableDateSeconds)
        return QVariant();
    // Whole seconds are taken exactly; a product with 1000 in doubles might not be.
    const qint64 whole = seconds.toInteger(std::numeric_limits<qint64>::min());
    const qint64 ms =
        whole != std::numeric_limits<qint64>::min() ? whole * 1000 : std::llround(value * 1000.0);
    return QVariant(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
}

// A tagged value, invalid when the tag's member is malformed; absent when the object is
// no tag at all and reads as a dictionary.
std::optional<QVariant> fromTagged(const QString &tag, const QJsonValue &member)
{
    if (tag == dateTag) {
        // Dates on a whole second were once written {"$date": {"$double": N}}.
        const QJsonObject wrapped = member.toObject();
        if (wrapped.size() == 1 && wrapped.value(doubleTag).isDouble())
            return dateFromSeconds(wrapped.value(doubleTag));
        if (member.isDouble())
            return dateFromSeconds(member);
        return std::nullopt;
    }
    if (tag == dataTag && member.isString()) {
        auto decoded = QByteArray::fromBase64Encoding(member.toString().toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return QVariant();
        return QVariant(*decoded);
    }
    if (tag == doubleTag && member.isDouble())
        return QVariant(member.toDouble());
    if (tag == doubleTag && member.isString()) {
        const QString text = member.toString();
        if (text == u"nan")
            return QVariant(std::nan(""));
        if (text == u"inf")
            return QVariant(HUGE_VAL);
        if (text == u"-inf")
            return QVariant(-HUGE_VAL);
        if (text == u"-0")
            return QVariant(-0.0);
        return QVariant();
    }
    return std::nullopt;
}

QVariantMap mapFromJson(const QJsonObject &object)
{
    QVariantMap map;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (auto member = fromJson(it.value()))
            map.insert(it.key(), *member);
    }
    return map;
}

std::optional<QVariant> fromJson(const QJsonValue &json)
{
    switch (json.type()) {
    case QJsonValue::Bool:
        return QVariant(json.toBool());
    case QJsonValue::Double: {
        // The parser keeps integers written without a fraction or exponent as integers.
        const QVariant number = json.toVariant();
        if (number.typeId() == QMetaType::LongLong)
            return QVariant(number.toLongLong());
        return QVariant(number.toDouble());
    }
    case QJsonValue::String:
        return QVariant(json.toString());
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &element : json.toArray())
            list.append(fromJson(element).value_or(QVariant()));
        return QVariant(list);
    }
    case QJsonValue::Object: {
        const QJsonObject object = json.toObject();
        if (object.size() == 1) {
            const QString tag = object.begin().key();
            const QJsonValue member = object.begin().value();
            // A dictionary that would read as a tag is written inside {"$map": ...}.
            if (tag == mapTag && member.isObject())
                return QVariant(mapFromJson(member.toObject()));
            if (auto tagged = fromTagged(tag, member)) {
                if (!tagged->isValid())
                    return std::nullopt;
                return tagged;
            }
        }
        return QVariant(mapFromJson(object));
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return std::nullopt;
}

QByteArray jsonString(const QString &text)
{
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return quoted.mid(1, quoted.size() - 2);
}

QByteArray jsonDouble(double value)
{
    if (std::isnan(value))
        return "{\"$double\": \"nan\"}";
    if (std::isinf(value))
        return value > 0 ? "{\"$double\": \"inf\"}" : "{\"$double\": \"-inf\"}";
    // A JSON reader gives back -0 as the integer 0.
    if (value == 0 && std::signbit(value))
        return "{\"$double\": \"-0\"}";
    // Shortest text that reads back to the same bits. A JSON reader gives back any
    // whole number (1.0, 1e0) as an integer, so whole doubles carry a tag.
    const QByteArray text = QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    if (std::trunc(value) == value)
        return "{\"$double\": " + text + '}';
    return text;
}

QByteArray jsonDate(const QDateTime &date)
{
    // Whole seconds as an integer: a tagged whole double here would not read as a date.
    const qint64 ms = date.toMSecsSinceEpoch();
    if (ms % 1000 == 0)
        return QByteArray::number(ms / 1000);
    return QByteArray::number(ms / 1000.0, 'g', QLocale::FloatingPointShortest);
}

// The integer types, all stored as qint64.
bool isInteger(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

// The types write() knows; members of other types are left out of a dictionary and
// written as null in an array.
bool isWritableType(const QVariant &value)
{
    if (isInteger(value))
        return true;
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
        return true;
    case QMetaType::QDateTime:
        return value.toDateTime().isValid();
    default:
        return false;
    }
}

// Whether the dictionary, written as it is, would read back as a tag: one member whose
// key begins with "$" (the tags of today and any added later).
bool looksLikeTag(const QVariantMap &map)
{
    const QVariantMap::const_iterator none = map.end();
    QVariantMap::const_iterator only = none;
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (!isWritableType(it.value()))
            continue;
        if (only != none)
            return false;
        only = it;
    }
    return only != none && only.key().startsWith(u'$');
}

void write(const QVariant &value, QByteArray &out, int indent);

void writeMap(const QVariantMap &map, QByteArray &out, int indent)
{
    if (map.isEmpty()) {
        out += "{}";
        return;
    }
    const QByteArray inner(indent + 4, ' ');
    out += "{\n";
    bool first = true;
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (!isWritableType(it.value()))
            continue;
        if (!first)
            out += ",\n";
        first = false;
        out += inner + jsonString(it.key()) + ": ";
        write(it.value(), out, indent + 4);
    }
    out += '\n' + QByteArray(indent, ' ') + '}';
}

void write(const QVariant &value, QByteArray &out, int indent)
{
    if (isInteger(value)) {
        out += QByteArray::number(value.toLongLong());
        return;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
        out += value.toBool() ? "true" : "false";
        return;
    case QMetaType::Double:
    case QMetaType::Float:
        out += jsonDouble(value.toDouble());
        return;
    case QMetaType::QString:
        out += jsonString(value.toString());
        return;
    case QMetaType::QByteArray:
        out += "{\"$data\": \"" + value.toByteArray().toBase64() + "\"}";
        return;
    case QMetaType::QDateTime:
        out += "{\"$date\": " + jsonDate(value.toDateTime()) + '}';
        return;
    case QMetaType::QVariantList: {
        out += '[';
        bool first = true;
        for (const QVariant &element : value.toList()) {
            if (!first)
                out += ", ";
            first = false;
            if (isWritableType(element))
                write(element, out, indent);
            else
                out += "null";
        }
        out += ']';
        return;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        if (!looksLikeTag(map)) {
            writeMap(map, out, indent);
            return;
        }
        out += "{\"$map\": ";
        writeMap(map, out, indent);
        out += '}';
        return;
    }
    default:
        out += "null";
    }
}

} // namespace

namespace PreferencesCodec {

std::optional<QVariantMap> decode(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    QVariantMap values;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (auto value = fromJson(it.value()))
            values.insert(it.key(), *value);
    }
    return values;
}

QByteArray encode(const QVariantMap &values)
{
    QByteArray out;
    writeMap(values, out, 0);
    out += '\n';
    return out;
}

bool isStorable(const QVariant &value)
{
    if (!isWritableType(value))
        return false;
    switch (value.typeId()) {
    case QMetaType::QDateTime:
        return std::abs(value.toDateTime().toMSecsSinceEpoch()) <= maxStorableDateMs;
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        return std::all_of(list.begin(), list.end(), isStorable);
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        return std::all_of(map.begin(), map.end(), isStorable);
    }
    default:
        return true;
    }
}

} // namespace PreferencesCodec
