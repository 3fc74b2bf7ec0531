// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliCsv.h"

#include "CliReport.h"

namespace CliCsv {

QByteArray header()
{
    return QByteArrayLiteral("date,server,ping,jitter,down,up,loadedLatencyDown,loadedLatencyUp,"
                             "grade,bytesDown,bytesUp\n");
}

QByteArray line(const SpeedTestEngine::Result &result, const CliRun *run)
{
    const auto number = [](std::optional<double> value) {
        return value ? CliReport::number(*value) : QByteArray();
    };
    const auto rate = [&](double mbps, const SpeedTestEngine::PhaseReport *report) {
        return !report || report->moved() ? number(mbps) : QByteArray();
    };
    const auto bytes = [](const SpeedTestEngine::PhaseReport *report) {
        return report && report->moved() ? QByteArray::number(report->bytes) : QByteArray();
    };
    const std::optional<Responsiveness::Grade> grade = result.grade();
    const QByteArrayList fields{result.dateTime().toUTC().toString(Qt::ISODate).toUtf8(),
                                run ? run->server.toUtf8() : QByteArray(),
                                number(result.ping()),
                                number(result.jitter()),
                                rate(result.down(), run ? &run->down : nullptr),
                                rate(result.up(), run ? &run->up : nullptr),
                                number(result.loadedLatencyDown()),
                                number(result.loadedLatencyUp()),
                                grade ? Responsiveness::gradeText(*grade).toLatin1() : QByteArray(),
                                bytes(run ? &run->down : nullptr),
                                bytes(run ? &run->up : nullptr)};
    return fields.join(',') + '\n';
}

} // namespace CliCsv
