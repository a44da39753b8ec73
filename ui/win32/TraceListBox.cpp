#include "ui/win32/TraceListBox.h"

#include "ui/TraceRules.h"

void TraceListBox::DrawItem(const DRAWITEMSTRUCT& item) const {
    // Compared unsigned, so that -1 (no item) is never drawn.
    if (item.itemID >= static_cast<UINT>(GetCount())) {
        return;
    }
    const std::string text = GetText(static_cast<int>(item.itemID));
    const bool traceLine = DrawnInTraceColor(text);
    COLORREF previous = traceLine ? ::SetTextColor(item.hDC, traceColor) : 0;
    ::ExtTextOutA(item.hDC, item.rcItem.left, item.rcItem.top, ETO_OPAQUE | ETO_CLIPPED, &item.rcItem,
                  text.c_str(), static_cast<UINT>(text.size()), nullptr);
    if (traceLine) {
        ::SetTextColor(item.hDC, previous);
    }
}
