// Loading a method collection the size of the Central Council's (about
// 25 000 methods): a generated file in its schema, each method with a
// notation of its stage, references and a first peal as the published
// file carries them, loaded several times; prints the times.

#include "methods/MethodCollection.h"
#include "methods/Row.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// A treble-dodging-like notation for Stage: random places for the
// changes of a half lead, a palindrome, then a lead-end change.
QString RandomNotation(int stage, std::mt19937& random) {
    QString text;
    const int halfLead = 2 * stage;
    for (int i = 0; i < halfLead; ++i) {
        if (stage % 2 == 0 && random() % 2 == 0) {
            text += u'x';
            continue;
        }
        // Lead, then places next to the last or three above it: the bells
        // between pair up, and the top place is implied where needed.
        QString places;
        int place = 1;
        places += BellSymbol(place);
        while (place + 3 <= stage) {
            place += (random() % 3 == 0) ? 1 : 3;
            if (place <= stage) places += BellSymbol(place);
        }
        if (!text.isEmpty() && !text.endsWith(u'x')) text += u'.';
        text += places;
    }
    return text + QStringLiteral(",12");
}

}  // namespace

int main() {
    constexpr int kMethods = 25'000;
    constexpr int kPerSet = 10;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("methods.xml"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return 1;
        QTextStream out(&file);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            << "<collection xmlns=\"" << kMethodCollectionNamespace << "\">\n"
            << "  <collectionName>Generated</collectionName>\n";
        std::mt19937 random(7);
        for (int set = 0; set < kMethods / kPerSet; ++set) {
            const int stage = 5 + set % 8;
            out << "  <methodSet>\n    <notes>set " << set << "</notes>\n    <properties>\n"
                << "      <stage>" << stage << "</stage>\n"
                << "      <classification>Surprise</classification>\n"
                << "      <lengthOfLead>" << 4 * stage << "</lengthOfLead>\n"
                << "      <numberOfHunts>1</numberOfHunts>\n      <leadHead>1</leadHead>\n"
                << "      <symmetry>palindromic</symmetry>\n    </properties>\n";
            for (int m = 0; m < kPerSet; ++m) {
                const int id = set * kPerSet + m;
                out << "    <method id=\"m" << id << "\">\n"
                    << "      <name>Method " << id << "</name>\n"
                    << "      <title>Method " << id << " Surprise " << StageName(stage) << "</title>\n"
                    << "      <notation>" << RandomNotation(stage, random) << "</notation>\n"
                    << "      <references><rwRef>1995/" << id % 1000 << "</rwRef><pnRef>" << id
                    << "</pnRef></references>\n"
                    << "      <performances>\n        <firstTowerbellPeal>\n"
                    << "          <date>19" << 10 + id % 90 << "-05-0" << 1 + id % 9 << "</date>\n"
                    << "          <location><building>St Michael</building><town>Town " << id % 700
                    << "</town><county>Somewhere</county><country>England</country></location>\n"
                    << "          <society>A Guild of Ringers</society>\n"
                    << "        </firstTowerbellPeal>\n      </performances>\n"
                    << "    </method>\n";
            }
            out << "  </methodSet>\n";
        }
        out << "</collection>\n";
    }
    const double megabytes = static_cast<double>(QFile(path).size()) / 1e6;

    std::vector<double> ms;
    int count = 0;
    for (int run = 0; run < 5; ++run) {
        TMethodCollection collection;
        QString error;
        const auto start = std::chrono::steady_clock::now();
        if (!collection.LoadFromFile(path, &error)) {
            std::fprintf(stderr, "load failed: %s\n", qPrintable(error));
            return 1;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        count = collection.Count();
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "collection load: %d methods, %.1f MB; best %.0f ms, median %.0f ms, worst %.0f ms (target < 1000 "
        "ms)\n",
        count, megabytes, ms.front(), ms[ms.size() / 2], ms.back());

    TMethodCollection collection;
    QString error;
    collection.LoadFromFile(path, &error);
    const auto start = std::chrono::steady_clock::now();
    int found = 0;
    for (int i = 0; i < 100; ++i) found += collection.Search(QStringLiteral("method %1").arg(i * 7)).size();
    const double searchMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("search by part of a name: %.2f ms each (%d titles found in 100 searches)\n", searchMs / 100,
                found);
    return 0;
}
