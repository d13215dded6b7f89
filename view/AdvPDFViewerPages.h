#pragma once

// The viewer's page cache: one entry per page index that has been requested
// and still lies around the shown page.

#include "view/PdfRenderer.h"

#include <QImage>
#include <memory>
#include <vector>

class TAdvPDFViewerPage {
public:
    explicit TAdvPDFViewerPage(int index) : FIndex(index) {}

    int FIndex;
    // A render of this page is under way; FOperation is the one whose result
    // this entry waits for.
    bool FLoading = false;
    TPdfOperation FOperation = 0;
    // The page image, composited onto white; may be empty.
    QImage FBitmap;
    // The image was rendered for an earlier size or zoom and must be rendered
    // again; until then it is still painted.
    bool FReload = false;

    bool IsLoadedForPainting() const { return !FBitmap.isNull(); }
    bool IsLoaded() const { return IsLoadedForPainting() && !FReload; }
};

// Owning list of page entries in request order, at most one per page index.
class TAdvPDFViewerPages {
public:
    TAdvPDFViewerPage* Find(int index) const;
    // The entry for `index`, appended when there is none.
    TAdvPDFViewerPage& Obtain(int index);
    void Remove(int index);
    // Drops every entry whose index lies outside first..last.
    void KeepOnly(int first, int last);
    void Clear() { FItems.clear(); }
    int Count() const { return int(FItems.size()); }
    void MarkAllForReload();

private:
    std::vector<std::unique_ptr<TAdvPDFViewerPage>> FItems;
};
