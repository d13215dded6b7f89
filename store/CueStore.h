#pragma once

#include <QByteArray>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <array>

class KeyValueFile;

constexpr int MaxCuesPerPage = 21;

// One cue: "top|left|message|autoplay|call|". The empty text is an unused slot.
using CueRecord = QString;
// 8-bit texts (UTF-8 here): the fields of the record split most recently.
using arStr = QList<QByteArray>;
using CueRow = std::array<CueRecord, MaxCuesPerPage>;
// One row per page of the loaded script.
using TCueTable = QList<CueRow>;

enum CueField { cfTop = 0, cfLeft = 1, cfMessage = 2, cfAutoplay = 3, cfCall = 4 };

// Splits at every delimiter; a final delimiter adds no empty field; the empty
// text gives one empty field.
arStr SplitByChar(const QByteArray& text, char delimiter);
// The record split into its fields, padded with empty fields to at least five;
// a record without any "|" gives five empty fields.
arStr SplitRecord(const CueRecord& record);
// Field i of the split, or the empty text when the record is shorter.
QByteArray FieldOf(const arStr& fields, int index);

// Round to the nearest integer, halves to the even neighbour.
int RoundHalfEven(double value);
// value rounded to 1/scale (100 or 1000), halves to even.
double RoundFraction(double value, int scale);

// Shortest text with at most 15 significant digits, no exponent, with the
// decimal separator of `locale` (the user's by default).
QString FormatFraction(double value, const QLocale& locale = QLocale());
// Reads a fraction with the user's separator; raises
// "'%s' is not a valid floating point value".
double ParseFraction(const QString& text, const QLocale& locale = QLocale());
// Autoplay: a number is true when not 0; "True"/"False" in any case; else
// raises "'%s' is not a valid boolean value".
bool ParseBoolField(const QString& text);

// Record of a new cue whose pin's top-left corner is at (left, top) in a view
// of viewWidth x viewHeight: hundredths, "top|left||0||".
CueRecord NewCueRecord(int pinTop, int pinLeft, int viewHeight, int viewWidth,
                       const QLocale& locale = QLocale());
// Record of a dragged pin: thousandths, message, autoplay and call kept from `fields`.
CueRecord MovedCueRecord(int pinTop, int pinLeft, int viewHeight, int viewWidth,
                         const arStr& fields, const QLocale& locale = QLocale());
// Record rebuilt from fields 0 and 1 of `fields` with new message, autoplay, call.
CueRecord BuildRecord(const arStr& fields, const QByteArray& message, const QByteArray& autoplay,
                      const QByteArray& call);

// The order the cue file lists a page's records in: case-insensitive,
// punctuation before digits before letters, whatever the process locale.
bool CueRecordLess(const QString& a, const QString& b);
// The row's non-empty records in that order.
QStringList SortedRecords(const CueRow& row);

// Cue file beside the script: its extension replaced by (or given) ".cues".
QString CueFilePath(const QString& scriptPath);
QString PageSection(int page); // "Page12"
QString CueKey(int slot);      // "Cue5"

// Writes one page's sorted records as Cue0.. and empties the keys after them.
void WritePageSection(KeyValueFile& file, int page, const CueRow& row);
// Reads the 21 keys of one page; missing keys and sections give empty slots.
void ReadPageSection(const KeyValueFile& file, int page, CueRow& row);
// Every row of the table from `firstPage` on from its page's section, in one
// pass over the file already loaded: what ReadPageSection gives for each
// page. The rows before `firstPage` are left as they are.
void ReadAllPageSections(const KeyValueFile& file, TCueTable& table, qsizetype firstPage = 0);
