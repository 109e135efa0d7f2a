#pragma once

// Place notation: each change written as the places made, changes parted
// by dots; "x", "X" or "-" is the cross change and needs no dot around it.
// Places at the ends that the other bells need to pair up may be left out
// ("4" on six is "14", "12" on seven is "127"). A comma parts two halves
// that are each a palindrome about their last change: "x16x16x16,12" is
// x16x16x16x16x16 then 12. "&" before a half marks a palindrome and "+" a
// half rung as written, as older tables write them; without a comma the
// notation is rung as written.

#include "methods/Row.h"
#include "platform/base/Exception.h"

#include <QString>

#include <vector>

// A notation that cannot be rung: the message names the 1-based position
// and the character where it went wrong.
class EPlaceNotation : public Exception {
public:
    EPlaceNotation(QString message, int position) : Exception(std::move(message)), FPosition(position) {}
    int Position() const { return FPosition; }

private:
    int FPosition;
};

// The changes of Text on Stage; throws EPlaceNotation.
std::vector<TChange> ParsePlaceNotation(const QString& text, int stage);

// One change ("14", "x") on Stage, implied places added; throws.
TChange ParseChange(const QString& text, int stage);

// The changes written back as notation, dots only where needed.
QString FormatPlaceNotation(const std::vector<TChange>& changes);
