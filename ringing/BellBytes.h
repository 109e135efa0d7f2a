#pragma once

// The receiver's alphabet: one character per stroke, "1"-"9", "0", "E",
// "T", "A"-"D" for bells 1 to 16 (letters in either case).

inline constexpr int kRingingBells = 16;

// The bell a received byte names, 0 for none.
inline int BellOfByte(unsigned char Byte) {
    if (Byte >= '1' && Byte <= '9') return Byte - '0';
    switch (Byte) {
        case '0':
            return 10;
        case 'E':
        case 'e':
            return 11;
        case 'T':
        case 't':
            return 12;
        case 'A':
        case 'a':
            return 13;
        case 'B':
        case 'b':
            return 14;
        case 'C':
        case 'c':
            return 15;
        case 'D':
        case 'd':
            return 16;
        default:
            return 0;
    }
}
