#pragma once

// Public face of the page viewer that the main window relies on. The
// implementation (renderer layer, page cache, painting) lives in view/.

#include <QPoint>
#include <QString>
#include <QWidget>
#include <memory>

struct TAdvPDFViewerOptions {
    // Text of the header band; the owner writes it directly and nothing is
    // repainted until the next repaint.
    QString Header;
    // Remaining options are fixed for Cuewell; see AdvPDFViewer.cpp.
};

class TAdvPDFViewerPrivate;
class TPdfRenderer;

class TAdvPDFViewer : public QWidget {
    Q_OBJECT
public:
    explicit TAdvPDFViewer(QWidget* parent = nullptr);
    ~TAdvPDFViewer() override;

    QString FileName() const;
    // A different name (case-sensitive) starts a background load and returns
    // at once; OnLoaded follows later, never from inside this call.
    void SetFileName(const QString& fileName);
    // For a viewer laid out at its final size but not shown yet: starts the
    // render of the first page of the script being opened now, so that it is
    // ready by the first show. A shown viewer does this when the load starts,
    // one not yet shown at its first show.
    void StartFirstPage();
    // For a script that SetFileName is about to be given: its file starts
    // opening now, while the caller gets ready for it (see TPdfRenderer). Given
    // the page rectangle and scale the viewer will have once laid out (PageBox
    // and devicePixelRatioF at the last start), the first page renders too.
    void OpenAhead(const QString& fileName, QRectF firstPageBox = QRectF(),
                   qreal devicePixelRatio = 1.0);
    // The rectangle pages are fitted into at the viewer's present size.
    QRectF PageBox() const;

    int PageCount() const;
    int PageIndex() const;
    void SetPageIndex(int index);
    void NextPage();
    void PreviousPage();
    void FirstPage();
    void LastPage();

    TAdvPDFViewerOptions& Options();
    float ZoomFactor() const;

    // Diagnostics: page renders started by the viewer, and whether a page's
    // image is cached at the current size.
    int RendersRequested() const;
    // A document load is pending or under way.
    bool IsLoading() const;
    bool PageCached(int index) const;
    TPdfRenderer& Renderer() const;

signals:
    // Raised once per document that opened, on the user-interface thread.
    void OnLoaded(QObject* sender);
    // Input notifications, raised before the viewer's own handling; positions
    // in the viewer's pixels.
    void OnMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void OnMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void OnClick();
    // One per full notch of 120 units accumulated; a notch down is a turn
    // towards the user.
    void OnMouseWheelDown(Qt::KeyboardModifiers shift, QPoint mousePos, bool* handled);
    void OnMouseWheelUp(Qt::KeyboardModifiers shift, QPoint mousePos, bool* handled);
    // The shown page index changed (page turn or a newly loaded document).
    void OnPageChanged(int pageIndex);
    // A page render ended and its outcome was handled; `rendered` is false for
    // a cancelled or failed render.
    void OnPageRendered(int pageIndex, bool rendered);
    // A paint put the shown page's own image on the screen.
    void OnPagePainted(int pageIndex);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    std::unique_ptr<TAdvPDFViewerPrivate> d;
};
