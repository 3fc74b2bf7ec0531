#include "platform/PreferencesCodec.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>

namespace {

const QString dataTag = QStringLiteral("$data");
const QString dateTag = QStringLiteral("$date");
const QString doubleTag = QStringLiteral("$double");

std::optional<QVariant> fromJson(const QJsonValue &json);

std::optional<QVariant> fromTagged(const QJsonObject &object)
{
    if (object.size() != 1)
        return std::nullopt;
    const auto [tag, member] = std::pair{object.begin().key(), object.begin().value()};
    if (tag == dataTag && member.isString()) {
        auto decoded = QByteArray::fromBase64Encoding(member.toString().toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return QVariant();
        return QVariant(*decoded);
    }
    if (tag == dateTag && member.isDouble()) {
        const double seconds = member.toDouble();
        if (!std::isfinite(seconds) || std::abs(seconds) > 1e14)
            return QVariant();
        return QVariant(QDateTime::fromMSecsSinceEpoch(std::llround(seconds * 1000.0), Qt::UTC));
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
        return QVariant();
    }
    return std::nullopt;
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
        if (auto tagged = fromTagged(object)) {
            if (!tagged->isValid())
                return std::nullopt;
            return tagged;
        }
        QVariantMap map;
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (auto member = fromJson(it.value()))
                map.insert(it.key(), *member);
        }
        return QVariant(map);
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
    // Shortest text that reads back to the same bits. A JSON reader gives back any
    // whole number (1.0, 1e0) as an integer, so whole doubles carry a tag.
    const QByteArray text = QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    if (std::trunc(value) == value)
        return "{\"$double\": " + text + '}';
    return text;
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
        if (!PreferencesCodec::isStorable(it.value()))
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
    switch (value.typeId()) {
    case QMetaType::Bool:
        out += value.toBool() ? "true" : "false";
        return;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        out += QByteArray::number(value.toLongLong());
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
        out += "{\"$date\": " + jsonDouble(value.toDateTime().toMSecsSinceEpoch() / 1000.0) + '}';
        return;
    case QMetaType::QVariantList: {
        out += '[';
        bool first = true;
        for (const QVariant &element : value.toList()) {
            if (!first)
                out += ", ";
            first = false;
            if (PreferencesCodec::isStorable(element))
                write(element, out, indent);
            else
                out += "null";
        }
        out += ']';
        return;
    }
    case QMetaType::QVariantMap:
        writeMap(value.toMap(), out, indent);
        return;
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
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
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

} // namespace PreferencesCodec
