// quorvel-methods: the rows of a method, one per line in bell symbols,
// rounds first. Exit 0 when rung, 1 when the method cannot be rung (a bad
// notation, no such method, a collection that cannot be read), 2 on bad
// arguments.

#include "methods/Method.h"
#include "methods/MethodCollection.h"
#include "methods/MethodLibrary.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <optional>

namespace {

constexpr int kRung = 0;
constexpr int kCannotRing = 1;
constexpr int kBadArguments = 2;

QTextStream& Err() {
    static QTextStream err(stderr);
    return err;
}

int BadArguments(const QString& message) {
    Err() << "quorvel-methods: " << message << "\n"
          << "Try 'quorvel-methods --help'.\n";
    Err().flush();
    return kBadArguments;
}

int CannotRing(const QString& message) {
    Err() << "quorvel-methods: " << message << "\n";
    Err().flush();
    return kCannotRing;
}

// Titles that match in part, on stdout, one a line, and why on stderr.
int Candidates(const QString& name, const QStringList& titles) {
    if (titles.isEmpty()) return CannotRing(QStringLiteral("no method called \"%1\"").arg(name));
    QTextStream out(stdout);
    for (const QString& title : titles) out << title << "\n";
    out.flush();
    return CannotRing(QStringLiteral("\"%1\" is not a method's full name; %2 match%3 (listed)")
                          .arg(name)
                          .arg(titles.size())
                          .arg(titles.size() == 1 ? QStringLiteral("es") : QString()));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-methods"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints the rows of a method, one per line in bell symbols, rounds first.\n"
                       "Name a built-in method (\"Plain Bob Minor\", \"cambridge s minor\"), one of the\n"
                       "collection given with --collection, or give --notation and --stage."));
    parser.addHelpOption();
    const QCommandLineOption notationOption(
        QStringLiteral("notation"), QStringLiteral("Place notation to ring."), QStringLiteral("text"));
    const QCommandLineOption stageOption(QStringLiteral("stage"),
                                         QStringLiteral("Stage of --notation (3-16)."), QStringLiteral("n"));
    const QCommandLineOption leadOption(QStringLiteral("lead"), QStringLiteral("One lead."));
    const QCommandLineOption courseOption(QStringLiteral("course"),
                                          QStringLiteral("The plain course (the default)."));
    const QCommandLineOption callsOption(QStringLiteral("calls"),
                                         QStringLiteral("A touch: calls at lead ends (six ends for Stedman), "
                                                        "e.g. \"B 2, S 4\"."),
                                         QStringLiteral("calling"));
    const QCommandLineOption collectionOption(
        QStringLiteral("collection"), QStringLiteral("The Central Council's method collection (XML)."),
        QStringLiteral("file"));
    const QCommandLineOption listOption(QStringLiteral("list"), QStringLiteral("List the built-in methods."));
    parser.addOptions(
        {notationOption, stageOption, leadOption, courseOption, callsOption, collectionOption, listOption});
    parser.addPositionalArgument(QStringLiteral("name"), QStringLiteral("The method's name."),
                                 QStringLiteral("[name]"));

    if (!parser.parse(QCoreApplication::arguments())) return BadArguments(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return kRung;
    }
    if (parser.isSet(listOption)) {
        QTextStream out(stdout);
        for (const TMethod& m : BuiltInMethods()) out << m.Title() << "\t" << m.Notation() << "\n";
        return kRung;
    }

    const QStringList names = parser.positionalArguments();
    if (names.size() > 1)
        return BadArguments(
            QStringLiteral("one method name at a time (put a name of several words in quotes)"));
    const bool byNotation = parser.isSet(notationOption);
    if (byNotation == !names.isEmpty())
        return BadArguments(byNotation ? QStringLiteral("give a method name or --notation, not both")
                                       : QStringLiteral("name a method or give --notation and --stage"));
    if (parser.isSet(stageOption) && !byNotation)
        return BadArguments(QStringLiteral("--stage goes with --notation"));
    if (byNotation && parser.isSet(collectionOption))
        return BadArguments(QStringLiteral("--collection searches by name; it does not go with --notation"));
    const int modes =
        int(parser.isSet(leadOption)) + int(parser.isSet(courseOption)) + int(parser.isSet(callsOption));
    if (modes > 1) return BadArguments(QStringLiteral("choose one of --lead, --course and --calls"));

    std::optional<TMethod> method;
    if (byNotation) {
        if (!parser.isSet(stageOption)) return BadArguments(QStringLiteral("--notation needs --stage"));
        bool ok = false;
        const int stage = parser.value(stageOption).toInt(&ok);
        if (!ok || stage < kMinStage || stage > kMaxStage)
            return BadArguments(QStringLiteral("--stage \"%1\" is not one of %2 to %3")
                                    .arg(parser.value(stageOption))
                                    .arg(kMinStage)
                                    .arg(kMaxStage));
        const QString notation = parser.value(notationOption);
        try {
            const std::vector<TChange> lead = ParsePlaceNotation(notation, stage);
            method.emplace(notation, stage, notation, GuessCallFamily(QString(), stage, lead));
        } catch (const EPlaceNotation& e) {
            return CannotRing(QStringLiteral("notation \"%1\": %2").arg(notation, e.Message()));
        }
    } else {
        const QString name = names.front();
        if (parser.isSet(collectionOption)) {
            TMethodCollection collection;
            QString error;
            if (!collection.LoadFromFile(parser.value(collectionOption), &error))
                return CannotRing(QStringLiteral("%1: %2").arg(parser.value(collectionOption), error));
            if (const TCollectionMethod* found = collection.Find(name)) {
                try {
                    method.emplace(found->ToMethod());
                } catch (const EPlaceNotation& e) {
                    return CannotRing(QStringLiteral("%1: %2").arg(found->Title, e.Message()));
                }
            } else if (const TMethod* builtIn = FindBuiltInMethod(name)) {
                method.emplace(*builtIn);
            } else {
                return Candidates(name, collection.Search(name));
            }
        } else if (const TMethod* builtIn = FindBuiltInMethod(name)) {
            method.emplace(*builtIn);
        } else {
            return Candidates(name, SearchBuiltInMethods(name));
        }
    }

    TRowsResult result;
    if (parser.isSet(leadOption)) {
        result = RingLead(*method);
    } else if (parser.isSet(callsOption)) {
        try {
            result = RingTouch(*method, ParseCalling(parser.value(callsOption), *method));
        } catch (const Exception& e) {
            return BadArguments(
                QStringLiteral("--calls \"%1\": %2").arg(parser.value(callsOption), e.Message()));
        }
    } else {
        result = RingPlainCourse(*method);
    }

    QTextStream out(stdout);
    for (const TRow& row : result.Rows) out << row.ToString() << "\n";
    out.flush();
    if (!result.Note.isEmpty()) {
        Err() << "quorvel-methods: " << method->Title() << ": " << result.Note << "\n";
        Err().flush();
    }
    return kRung;
}
