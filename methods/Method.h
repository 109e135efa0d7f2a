#pragma once

// Methods, their leads and plain courses, calls and touches.

#include "methods/PlaceNotation.h"
#include "methods/Row.h"

#include <QString>

#include <map>
#include <optional>
#include <vector>

// How a method's calls are made: one table of calls per family.
enum class TCallFamily {
    None,           // no calls (plain hunt)
    LeadEnd,        // bob and single replace the lead-end change (Plain Bob, Treble Bob, Surprise)
    Grandsire,      // bob and single replace the last two changes of the lead
    Stedman,        // bob and single replace the change at a six end
    SixthsLeadEnd,  // treble bob minor with a sixths-place lead end: its single is 1456
};

// One call: replaces Replaces changes ending at a call point.
struct TCallDef {
    QChar Symbol;  // 'B' or 'S'
    QString Name;  // "bob", "single"
    int Replaces = 1;
    QString Notation;
};

// The calls a family makes on a stage; empty when it has none there.
std::vector<TCallDef> CallsOf(TCallFamily family, int stage);
QString CallFamilyName(TCallFamily family);

class TMethod {
public:
    // Parses Notation; throws EPlaceNotation when it cannot be rung.
    TMethod(QString title, int stage, QString notation, TCallFamily family = TCallFamily::LeadEnd);

    const QString& Title() const { return FTitle; }
    int Stage() const { return FStage; }
    const QString& Notation() const { return FNotation; }
    TCallFamily Family() const { return FFamily; }
    const std::vector<TChange>& Lead() const { return FLead; }
    // The lead head: rounds after one plain lead.
    TRow LeadHead() const;
    // Indexes into the lead of the changes after which a call may come: the
    // lead end, or each six end for Stedman.
    std::vector<int> CallPoints() const;

private:
    QString FTitle;
    int FStage;
    QString FNotation;
    TCallFamily FFamily;
    std::vector<TChange> FLead;
};

// Rows from rounds, rounds first.
struct TRowsResult {
    std::vector<TRow> Rows;
    bool CameRound = false;  // the last row is rounds again
    QString Note;            // why it stopped elsewhere, or calls never reached
    int Leads = 0;           // leads begun
};

// One lead from rounds.
TRowsResult RingLead(const TMethod& method);
// Plain leads until rounds come back.
TRowsResult RingPlainCourse(const TMethod& method);

// Calls at given call points (1-based, counted through the whole touch:
// lead ends, or six ends for Stedman), e.g. "B 2, S 4".
using TCalling = std::map<int, QChar>;
// Throws Exception with a message naming the bad part.
TCalling ParseCalling(const QString& text, const TMethod& method);

// The touch, until rounds, until a whole plain course has passed after the
// last call without rounds, or until an extent's worth of changes.
TRowsResult RingTouch(const TMethod& method, const TCalling& calling);
