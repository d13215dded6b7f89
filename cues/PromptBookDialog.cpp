#include "cues/PromptBookDialog.h"

#include "app/Errors.h"
#include "app/Seams.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProgressDialog>

bool ExportPromptBookWithProgress(QWidget* parent, IPrompts& prompts,
                                  const TPromptBookRequest& request) {
    QProgressDialog dialog(QStringLiteral("Writing the prompt book..."), QStringLiteral("Cancel"),
                           0, 0, parent);
    dialog.setObjectName(QStringLiteral("PromptBookProgress"));
    dialog.setWindowTitle(QStringLiteral("Export Prompt Book"));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(300);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);

    TPromptBookExport exporter(request);
    TExportOutcome outcome = TExportOutcome::Failed;
    QString error;
    QEventLoop loop;
    QObject::connect(&exporter, &TPromptBookExport::Progress, &dialog, [&](int done, int total) {
        if (dialog.wasCanceled())
            return;
        dialog.setMaximum(total);
        dialog.setLabelText(
            QStringLiteral("Writing the prompt book: page %1 of %2").arg(done).arg(total));
        dialog.setValue(done);
    });
    QObject::connect(&dialog, &QProgressDialog::canceled, &exporter, [&] {
        exporter.Cancel();
        dialog.setLabelText(QStringLiteral("Cancelling..."));
    });
    QObject::connect(&exporter, &TPromptBookExport::Finished, &loop,
                     [&](TExportOutcome result, const QString& reason) {
                         outcome = result;
                         error = reason;
                         loop.quit();
                     });
    exporter.Start();
    loop.exec();
    dialog.hide();

    if (outcome == TExportOutcome::Failed)
        ShowStandardError(prompts, parent, error);
    return outcome == TExportOutcome::Written;
}

QString SuggestedPromptBookPath(const QString& script) {
    const QFileInfo info(script);
    return info.path() + u'/' + info.completeBaseName() + QStringLiteral(" - prompt book.pdf");
}

QString SuggestedCueSheetPath(const QString& script) {
    const QFileInfo info(script);
    return info.path() + u'/' + info.completeBaseName() + QStringLiteral(" - cue sheet.csv");
}

bool ExportPromptBookInteractive(QWidget* parent, IPrompts& prompts, const QString& script,
                                 const TCueTable& table, const QString& soundSelector,
                                 const QString& lightSelector, QSize view) {
    const QString output =
        prompts.SaveFileName(parent, QStringLiteral("Export Prompt Book"),
                             SuggestedPromptBookPath(script), QStringLiteral("PDF files (*.pdf)"));
    if (output.isEmpty())
        return false;
    try {
        CheckExportTarget(output, script);
    } catch (const CuewellError& e) {
        ShowStandardError(prompts, parent, e.Text());
        return false;
    }
    TPromptBookRequest request;
    request.Script = script;
    request.Output = output;
    request.Table = table;
    request.SoundSelector = soundSelector;
    request.LightSelector = lightSelector;
    request.ViewSize = view;
    return ExportPromptBookWithProgress(parent, prompts, request);
}

bool ExportCueSheetInteractive(QWidget* parent, IPrompts& prompts, const QString& script,
                               const TCueTable& table, const QString& soundSelector,
                               const QString& lightSelector) {
    const QString output =
        prompts.SaveFileName(parent, QStringLiteral("Export Cue Sheet"),
                             SuggestedCueSheetPath(script), QStringLiteral("CSV files (*.csv)"));
    if (output.isEmpty())
        return false;
    try {
        CheckExportTarget(output, script);
        WriteCueSheet(output, table, soundSelector, lightSelector);
    } catch (const CuewellError& e) {
        ShowStandardError(prompts, parent, e.Text());
        return false;
    }
    return true;
}
