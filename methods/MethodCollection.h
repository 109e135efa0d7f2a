#pragma once

// The Central Council's method collection: one XML file of <methodSet>s,
// each with shared <properties> and its <method>s. We do not ship it; a
// ringer points us at a copy. It is read streamed and checked whole: a
// damaged file is refused with the line where it went wrong, and the
// methods already loaded stay as they were.

#include "methods/Method.h"

#include <QHash>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <vector>

inline constexpr char kMethodCollectionNamespace[] =
    "http://www.cccbr.org.uk/methods/schemas/2007/05/methods";

struct TCollectionMethod {
    QString Title;           // "Cambridge Surprise Minor"
    QString Name;            // "Cambridge"
    QString Classification;  // "Surprise", empty for a principle
    int Stage = 0;
    QString Notation;
    QString LeadHead;      // as published, may be empty
    int LengthOfLead = 0;  // as published, 0 when not given
    int Line = 0;          // where its <method> starts

    // A method to ring; throws EPlaceNotation (the loader has checked it).
    TMethod ToMethod() const;
};

class TMethodCollection {
public:
    // Loads a file; on failure returns false with Error naming the line,
    // and the collection keeps what it held.
    bool LoadFromFile(const QString& path, QString* error);
    bool Load(QIODevice& device, QString* error);

    int Count() const { return static_cast<int>(FMethods.size()); }
    // Methods passed by at the last load: stages beyond 3 to 16 (the
    // collection goes higher than our bells).
    int Skipped() const { return FSkipped; }
    const std::vector<TCollectionMethod>& Methods() const { return FMethods; }

    // The method whose title is Name (case and abbreviations aside).
    const TCollectionMethod* Find(const QString& name) const;
    // Titles matching Name in part (every word begins a word of the title,
    // in order), in the collection's order, at most Limit.
    QStringList Search(const QString& name, int limit = 50) const;

private:
    std::vector<TCollectionMethod> FMethods;
    QHash<QString, int> FByKey;  // MethodNameKey(title) -> index
    std::vector<QString> FKeys;
    int FSkipped = 0;
};
