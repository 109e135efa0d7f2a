#pragma once

// Rows and changes. A row is an order of the bells 1..stage; a change says
// which places stay put, every other pair of adjacent bells swaps.

#include <QString>

#include <array>
#include <cstdint>

constexpr int kMinStage = 3;
constexpr int kMaxStage = 16;

// The receiver's characters: 1-9, 0, E, T, A, B, C, D for bells 1-16.
QChar BellSymbol(int bell);
// The bell of a symbol (case-insensitive), 0 for none.
int BellFromSymbol(QChar symbol);
// "Singles" (3) ... "Sixteen" (16); empty outside 3..16.
QString StageName(int stage);
// The stage of a name ("minor", "Major"), 0 for none.
int StageFromName(const QString& name);

class TChange {
public:
    TChange() = default;
    // Places as a bit mask, bit 0 = place 1. The caller has checked that
    // the bells between places pair up.
    TChange(int stage, std::uint16_t places) : FStage(stage), FPlaces(places) {}
    static TChange Cross(int stage) { return TChange(stage, 0); }

    int Stage() const { return FStage; }
    std::uint16_t Places() const { return FPlaces; }
    bool MakesPlace(int place) const { return FPlaces & (1u << (place - 1)); }
    bool IsCross() const { return FPlaces == 0; }
    // "x" or the places in symbols ("14", "1234").
    QString ToString() const;

    bool operator==(const TChange&) const = default;

private:
    int FStage = 0;
    std::uint16_t FPlaces = 0;
};

class TRow {
public:
    TRow() = default;
    static TRow Rounds(int stage);
    // A row written in symbols; an empty row when Text is not a row
    // (a symbol twice, a bell beyond the stage, a stage outside 3..16).
    static TRow FromString(const QString& text);

    bool IsValid() const { return FStage != 0; }
    int Stage() const { return FStage; }
    // The bell in a place, both 1-based.
    int Bell(int place) const { return FBells[place - 1]; }
    // The place of a bell, both 1-based.
    int PlaceOf(int bell) const;
    bool IsRounds() const;
    TRow Apply(const TChange& change) const;
    QString ToString() const;

    bool operator==(const TRow& other) const = default;

private:
    int FStage = 0;
    std::array<std::uint8_t, kMaxStage> FBells{};
};
