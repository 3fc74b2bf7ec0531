// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliCsv.h"

#include "CliReport.h"

namespace CliCsv {

QByteArray header()
{
    return QByteArrayLiteral("date,server,ping,jitter,down,up,loadedLatencyDown,loadedLatencyUp,"
                             "grade,bytesDown,bytesUp\n");
}

QByteArray line(const SpeedTestEngine::Result &result, const QString &server)
{
    const auto number = [](std::optional<double> value) {
        return value ? CliReport::number(*value) : QByteArray();
    };
    const auto rate = [&](double mbps) { return mbps > 0 ? number(mbps) : QByteArray(); };
    const auto bytes = [](std::optional<qint64> count) {
        return count ? QByteArray::number(*count) : QByteArray();
    };
    const std::optional<Responsiveness::Grade> grade = result.grade();
    const QByteArrayList fields{result.dateTime().toUTC().toString(Qt::ISODate).toUtf8(),
                                server.toUtf8(),
                                number(result.ping()),
                                number(result.jitter()),
                                rate(result.down()),
                                rate(result.up()),
                                number(result.loadedLatencyDown()),
                                number(result.loadedLatencyUp()),
                                grade ? Responsiveness::gradeText(*grade).toLatin1() : QByteArray(),
                                bytes(result.bytesDown()),
                                bytes(result.bytesUp())};
    return fields.join(',') + '\n';
}

} // namespace CliCsv
