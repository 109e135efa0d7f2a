#include "methods/MethodLibrary.h"

#include <QHash>

namespace {

// Plain hunt: the hunt on an even stage alternates x and 1n, on an odd
// stage n and 1; the course is twice the stage long.
QString PlainHuntNotation(int stage) {
    const QString top = QString(BellSymbol(stage));
    QStringList changes;
    for (int i = 0; i < stage; ++i) {
        if (stage % 2 == 0) {
            changes << QStringLiteral("x") << QStringLiteral("1") + top;
        } else {
            changes << top << QStringLiteral("1");
        }
    }
    // A cross parts the changes on its own; places need dots between them.
    return changes.join(stage % 2 == 0 ? QString() : QStringLiteral("."));
}

struct TBuiltIn {
    const char* Title;
    int Stage;
    const char* Notation;
    TCallFamily Family;
};

constexpr TBuiltIn kMethods[] = {
    {"Plain Bob Doubles", 5, "5.1.5.1.5,125", TCallFamily::LeadEnd},
    {"Plain Bob Minor", 6, "x16x16x16,12", TCallFamily::LeadEnd},
    {"Plain Bob Triples", 7, "7.1.7.1.7.1.7,127", TCallFamily::LeadEnd},
    {"Plain Bob Major", 8, "x18x18x18x18,12", TCallFamily::LeadEnd},
    {"Plain Bob Caters", 9, "9.1.9.1.9.1.9.1.9,129", TCallFamily::LeadEnd},
    {"Plain Bob Royal", 10, "x10x10x10x10x10,12", TCallFamily::LeadEnd},
    {"Plain Bob Cinques", 11, "E.1.E.1.E.1.E.1.E.1.E,12E", TCallFamily::LeadEnd},
    {"Plain Bob Maximus", 12, "x1Tx1Tx1Tx1Tx1Tx1T,12", TCallFamily::LeadEnd},
    {"Grandsire Doubles", 5, "3,1.5.1.5.1", TCallFamily::Grandsire},
    {"Grandsire Triples", 7, "3,1.7.1.7.1.7.1", TCallFamily::Grandsire},
    {"Grandsire Caters", 9, "3,1.9.1.9.1.9.1.9.1", TCallFamily::Grandsire},
    {"Stedman Doubles", 5, "3.1.5.3.1.3.1.3.5.1.3.1", TCallFamily::Stedman},
    {"Stedman Triples", 7, "3.1.7.3.1.3.1.3.7.1.3.1", TCallFamily::Stedman},
    {"Stedman Caters", 9, "3.1.9.3.1.3.1.3.9.1.3.1", TCallFamily::Stedman},
    {"Kent Treble Bob Minor", 6, "34x34.16x12x16x12x16,16", TCallFamily::SixthsLeadEnd},
    {"Oxford Treble Bob Minor", 6, "x34x16x12x16x12x16,16", TCallFamily::SixthsLeadEnd},
    {"Cambridge Surprise Minor", 6, "x36x14x12x36x14x56,12", TCallFamily::LeadEnd},
    {"Cambridge Surprise Major", 8, "x38x14x1258x36x14x58x16x78,12", TCallFamily::LeadEnd},
    {"Cambridge Surprise Royal", 10, "x30x14x1250x36x1470x58x16x70x18x90,12", TCallFamily::LeadEnd},
    {"Yorkshire Surprise Major", 8, "x38x14x58x16x12x38x14x78,12", TCallFamily::LeadEnd},
    {"Bristol Surprise Major", 8, "x58x14.58x58.36.14x14.58x14x18,18", TCallFamily::LeadEnd},
};

// Class words ringers shorten.
const QHash<QString, QString>& Abbreviations() {
    static const QHash<QString, QString> words{
        {QStringLiteral("s"), QStringLiteral("surprise")},
        {QStringLiteral("d"), QStringLiteral("delight")},
        {QStringLiteral("tb"), QStringLiteral("treble bob")},
        {QStringLiteral("tp"), QStringLiteral("treble place")},
        {QStringLiteral("a"), QStringLiteral("alliance")},
        {QStringLiteral("h"), QStringLiteral("hybrid")},
    };
    return words;
}

}  // namespace

const std::vector<TMethod>& BuiltInMethods() {
    static const std::vector<TMethod> methods = [] {
        std::vector<TMethod> list;
        for (int stage = kMinStage; stage <= kMaxStage; ++stage)
            list.emplace_back(QStringLiteral("Plain Hunt %1").arg(StageName(stage)), stage,
                              PlainHuntNotation(stage), TCallFamily::None);
        for (const TBuiltIn& m : kMethods)
            list.emplace_back(QString::fromLatin1(m.Title), m.Stage, QString::fromLatin1(m.Notation),
                              m.Family);
        return list;
    }();
    return methods;
}

QString MethodNameKey(const QString& name) {
    QStringList words;
    for (const QString& word : name.toLower().split(u' ', Qt::SkipEmptyParts)) {
        // "T.B." and "S." as well as "tb" and "s".
        QString bare = word;
        bare.remove(u'.');
        const auto full = Abbreviations().find(bare);
        words << (full != Abbreviations().end() ? *full : word);
    }
    return words.join(u' ');
}

bool MethodNameMatches(const QString& queryKey, const QString& titleKey) {
    const QStringList query = queryKey.split(u' ', Qt::SkipEmptyParts);
    const QStringList title = titleKey.split(u' ', Qt::SkipEmptyParts);
    if (query.isEmpty()) return false;
    qsizetype t = 0;
    for (const QString& word : query) {
        while (t < title.size() && !title[t].startsWith(word)) ++t;
        if (t == title.size()) return false;
        ++t;
    }
    return true;
}

const TMethod* FindBuiltInMethod(const QString& name) {
    const QString key = MethodNameKey(name);
    for (const TMethod& m : BuiltInMethods())
        if (MethodNameKey(m.Title()) == key) return &m;
    return nullptr;
}

QStringList SearchBuiltInMethods(const QString& query) {
    const QString key = MethodNameKey(query);
    QStringList titles;
    for (const TMethod& m : BuiltInMethods())
        if (MethodNameMatches(key, MethodNameKey(m.Title()))) titles << m.Title();
    return titles;
}

TCallFamily GuessCallFamily(const QString& title, int stage, const std::vector<TChange>& lead) {
    for (const TMethod& m : BuiltInMethods())
        if (m.Stage() == stage && m.Lead() == lead) return m.Family();
    const QStringList words = title.toLower().split(u' ', Qt::SkipEmptyParts);
    if (words.contains(QStringLiteral("grandsire"))) return TCallFamily::Grandsire;
    if (words.contains(QStringLiteral("stedman"))) return TCallFamily::Stedman;
    return TCallFamily::LeadEnd;
}
