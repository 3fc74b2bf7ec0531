// SPDX-License-Identifier: GPL-3.0-or-later
// What a read of the preferences store costs, in each of the states a read can meet:
//   settled   the file is older than a few seconds: one stat of the file
//   recent    the file was written a moment ago: its text is read and compared
//   changed   another writer changed the file: its text is read and decoded
// and, for scale, a write (lock, compare, encode, replace with fsync).
// Usage: tachora-bench-preferences [--dir DIR] [--reads N]

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

using Clock = std::chrono::steady_clock;

// A file with every key the program keeps, at its usual size.
void fill(PreferencesStore &store)
{
    QByteArray historyJson = "[";
    for (int i = 0; i < 5; ++i)
        historyJson += QByteArray(i ? "," : "")
                       + R"({"date":786400000.25,"down":412.25,"up":38.5,"ping":12.75})";
    historyJson += ']';
    using namespace PreferenceKeys;
    store.setBool(menuBarMode, true);
    store.setBool(onboarded, true);
    store.setBool(liveMenuBar, true);
    store.setBool(unitMBytes, false);
    store.setData(history, historyJson);
    store.setDate(lastCrashScan, QDateTime::fromMSecsSinceEpoch(1796563200000, Qt::UTC));
    store.setString(deviceId, QUuid::createUuid().toString(QUuid::WithoutBraces));
    store.setIntegerList(shownMessages, {3, 7, 12, 15, 21});
    store.setString(reportDraftText, "Le test s'arrête à la moitié du téléversement.");
    store.setString(reportDraftEmail, "ana@example.org");
    store.setBool(updateAutoCheck, true);
    store.setBool(updateAutoDownload, false);
    store.setDate(updateLastCheck, QDateTime::fromMSecsSinceEpoch(1796563200000, Qt::UTC));
    store.setString(updateNotifiedVersion, "0.2.0");
}

void setModificationTime(const QString &path, time_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
}

// The median over five rounds of the mean time of one call, in nanoseconds.
template <typename Prepare, typename Call>
double nanosecondsPerCall(int calls, Prepare prepare, Call call)
{
    double rounds[5];
    for (double &round : rounds) {
        Clock::duration total{};
        for (int i = 0; i < calls; ++i) {
            prepare(i);
            const auto start = Clock::now();
            call(i);
            total += Clock::now() - start;
        }
        round = std::chrono::duration<double, std::nano>(total).count() / calls;
    }
    std::sort(std::begin(rounds), std::end(rounds));
    return rounds[2];
}

void report(const char *what, double ns)
{
    std::printf("%-58s %10.2f µs\n", what, ns / 1000.0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(
        {"dir", "Folder on the filesystem to measure (default: a temporary one).", "DIR"});
    parser.addOption({"reads", "Reads per round (default 20000).", "N", "20000"});
    parser.process(app);

    QTemporaryDir temporary(parser.isSet("dir") ? parser.value("dir") + "/prefs-bench-XXXXXX"
                                                : QString());
    if (!temporary.isValid()) {
        std::fprintf(stderr, "cannot make a folder to measure in\n");
        return 1;
    }
    const QString path = temporary.filePath("preferences.json");
    const int reads = std::max(1, parser.value("reads").toInt());
    PreferencesStore mine(path);
    PreferencesStore theirs(path);
    fill(theirs);
    std::printf("file: %lld bytes, %d reads per round, median of 5 rounds\n",
                qint64(QFile(path).size()), reads);

    setModificationTime(path, ::time(nullptr) - 3600);
    mine.boolValue(PreferenceKeys::unitMBytes);
    report("read, settled file (stamp compared)",
           nanosecondsPerCall(
               reads, [](int) {}, [&](int) { mine.boolValue(PreferenceKeys::unitMBytes); }));

    // Kept a second old so that every round stays within the few seconds a time needs
    // to settle.
    report("read, file written a moment ago (text compared)",
           nanosecondsPerCall(
               reads,
               [&](int i) {
                   if (i == 0)
                       setModificationTime(path, ::time(nullptr) - 1);
               },
               [&](int) { mine.boolValue(PreferenceKeys::unitMBytes); }));

    const int changes = std::max(1, reads / 20);
    report("read, file changed by another writer (text decoded)",
           nanosecondsPerCall(
               changes, [&](int i) { theirs.setBool(PreferenceKeys::liveMenuBar, i % 2); },
               [&](int) { mine.boolValue(PreferenceKeys::unitMBytes); }));

    const int writes = std::max(1, reads / 200);
    report("write (lock, compare, encode, replace, fsync)",
           nanosecondsPerCall(
               writes, [](int) {}, [&](int i) { mine.setBool(PreferenceKeys::onboarded, i % 2); }));
    return 0;
}
