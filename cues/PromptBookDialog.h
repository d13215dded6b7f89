#pragma once

// The exports as the main window's menu runs them: the file dialog, the
// progress of a long prompt book, and the standard error box for a failure.

#include "cues/PromptBook.h"

class IPrompts;
class QWidget;

// Writes the prompt book on a worker thread behind a progress dialog whose
// Cancel stops it; the window keeps answering meanwhile. True when written;
// false when cancelled (nothing is left under the output's name) or failed
// (the reason is shown in the standard error box).
bool ExportPromptBookWithProgress(QWidget* parent, IPrompts& prompts,
                                  const TPromptBookRequest& request);

// File > Export Prompt Book...: asks where to write, then exports with progress.
// `view` is the page viewer's size the pins' fractions refer to.
bool ExportPromptBookInteractive(QWidget* parent, IPrompts& prompts, const QString& script,
                                 const TCueTable& table, const QString& soundSelector,
                                 const QString& lightSelector, QSize view);

// File > Export Cue Sheet...: asks where to write, then writes the CSV; a
// failure is shown in the standard error box.
bool ExportCueSheetInteractive(QWidget* parent, IPrompts& prompts, const QString& script,
                               const TCueTable& table, const QString& soundSelector,
                               const QString& lightSelector);

// The names the save dialogs suggest: beside the script, named after it.
QString SuggestedPromptBookPath(const QString& script);
QString SuggestedCueSheetPath(const QString& script);
