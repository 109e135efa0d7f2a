#pragma once

// The methods we carry, written by us as place notation, and the matching
// of method names the way ringers write them ("cambridge s minor").

#include "methods/Method.h"

#include <QString>
#include <QStringList>

#include <vector>

// Plain Hunt on 3-16 and the standard methods, in a fixed order.
const std::vector<TMethod>& BuiltInMethods();

// A title reduced for matching: lower case, single spaces, the class
// abbreviations written out ("s" -> "surprise", "tb" -> "treble bob").
QString MethodNameKey(const QString& name);

// Whether every word of Query begins a word of Title, in order.
bool MethodNameMatches(const QString& queryKey, const QString& titleKey);

// The built-in method of that name, or nullptr.
const TMethod* FindBuiltInMethod(const QString& name);
// Titles of the built-in methods whose names match Query in part.
QStringList SearchBuiltInMethods(const QString& query);

// The call family the title names: Grandsire, Stedman, else lead-end
// calls; a built-in method of the same stage and lead gives its own.
TCallFamily GuessCallFamily(const QString& title, int stage, const std::vector<TChange>& lead);
