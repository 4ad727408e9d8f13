// The messages several processors share, word for word, as 8-bit Latin-1 bytes.
#pragma once

namespace rk::msg {

// \xfc is the Latin-1 u-umlaut; literals are split after escapes so no hex digit follows one.
inline constexpr const char* kInputType[3] = {
    "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfc"
    "tzt.",
    "Der am 2. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfc"
    "tzt.",
    "Der am 3. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfc"
    "tzt.",
};
inline constexpr const char* kOutputType[3] = {
    "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfc"
    "tzt.",
    "Der am 2. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfc"
    "tzt.",
    "Der am 3. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfc"
    "tzt.",
};
inline constexpr const char* kMatricesExpected = "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).";
inline constexpr const char* kUnequalCounts =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xfchrt.";
inline constexpr const char* kNoData = "Keine Daten vorhanden! Operation wird nicht durchgef\xfchrt.";

}  // namespace rk::msg
