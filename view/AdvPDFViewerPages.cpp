#include "view/AdvPDFViewerPages.h"

#include <algorithm>

TAdvPDFViewerPage* TAdvPDFViewerPages::Find(int index) const {
    auto it = std::find_if(FItems.begin(), FItems.end(),
                           [index](const auto& p) { return p->FIndex == index; });
    return it == FItems.end() ? nullptr : it->get();
}

TAdvPDFViewerPage& TAdvPDFViewerPages::Obtain(int index) {
    if (TAdvPDFViewerPage* page = Find(index))
        return *page;
    FItems.push_back(std::make_unique<TAdvPDFViewerPage>(index));
    return *FItems.back();
}

void TAdvPDFViewerPages::Remove(int index) {
    std::erase_if(FItems, [index](const auto& p) { return p->FIndex == index; });
}

void TAdvPDFViewerPages::KeepOnly(int first, int last) {
    std::erase_if(FItems, [=](const auto& p) { return p->FIndex < first || p->FIndex > last; });
}

void TAdvPDFViewerPages::MarkAllForReload() {
    for (auto& p : FItems)
        p->FReload = true;
}
