// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

// The crash reports that apport leaves in /var/crash, named after the crashed
// executable's path with every "/" turned into "_", a number and ".crash"
// ("_usr_bin_tachora.1000.crash"): text, with a large base64 core dump at the end.
namespace SystemCrashReports {

struct Report
{
    QString message;
    // The report's first characters, as many as the service takes.
    QString stack;
};

// Whether the file name is that of a report on the program at executablePath.
bool isReportOf(const QString &fileName, const QString &executablePath);

// The report's message and stack, read no further than the stack needs; absent when the
// file cannot be read, is not UTF-8, or is not a plain file of the current user (the
// report folder is open to every user's writes, links included).
std::optional<Report> read(const QString &path);

} // namespace SystemCrashReports
