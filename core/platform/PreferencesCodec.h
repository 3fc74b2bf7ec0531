// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QVariantMap>

#include <optional>

// The text form of the preferences file (see PreferencesStore.cpp for the format).
namespace PreferencesCodec {

// The typed values of a preferences document; absent when the text is not a JSON object.
std::optional<QVariantMap> decode(const QByteArray &json);

// One member per line, keys sorted, so that the file reads well and diffs cleanly.
QByteArray encode(const QVariantMap &values);

// Whether the value, with everything in it, reads back as itself through encode() and
// decode(): same value, with integers widened to qint64, floats to double and dates to UTC.
bool isStorable(const QVariant &value);

} // namespace PreferencesCodec
