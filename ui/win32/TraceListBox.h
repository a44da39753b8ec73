#pragma once

#include "framework/Framework.h"

// The message list: an owner-drawn list box with fixed item height that keeps its strings.
// Device output is drawn in `traceColor`, the program's own "*" lines in the normal colour.
class TraceListBox : public CListBox {
public:
    ~TraceListBox() override = default;
    // One line, as WM_DRAWITEM asks for it: no highlight and no focus rectangle, the device
    // context's current colours except for the text colour of trace lines.
    virtual void DrawItem(const DRAWITEMSTRUCT& item) const;

    COLORREF traceColor = RGB(0, 0, 255);
};
