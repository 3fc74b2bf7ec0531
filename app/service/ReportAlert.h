// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/ServiceClient.h"

#include <QString>

// What the user is told once a problem report's upload is over, from the service's answer.
namespace ReportAlert {

struct Text
{
    QString title;
    QString text;
};

// supportEmail: where to write when the service cannot be reached.
Text forAnswer(const ReportAnswer &answer, const QString &supportEmail);

} // namespace ReportAlert
