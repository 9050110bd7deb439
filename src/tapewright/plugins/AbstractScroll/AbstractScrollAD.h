#pragma once
// The scroll adapters: a press on a scroll bar and the moves of a drag are swallowed and the
// release records where the bar's widget was scrolled to ("<Class>::scrollTo"), which playback
// restores; moves without a button, the wheel and keys are recorded the default way. A view's bars record the top item (row, column) and
// the pixels of it hidden above or left of the viewport, not bar values, so that views that
// scroll per item and per pixel, and other fonts and sizes, replay alike.
#include "tapewright/RecorderAdapter.h"

class QAbstractItemView;
class QAbstractScrollArea;
class QHeaderView;
class QModelIndex;
class QScrollBar;

class AbstractScrollAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;
    // A view passes the setting to its two scroll bars, which receive the mouse events.
    void setEnabled(QObject* object, bool on) override;

protected:
    // className: the script's class ("QListBox"), also the tag's class part; title: the
    // adapter's; widget and places ("list box", "row"): what its description speaks of.
    AbstractScrollAD(const char* className, const char* title, const char* widget, const char* places);

    // The widget the bar's release is recorded for (the bar itself for free bars), or null.
    virtual QObject* owner(QObject* bar) const;
    // Whether the widget is of the adapter's class.
    virtual bool accepts(QObject* widget) const = 0;
    enum class Outcome { Record, Swallow, Pass };
    // Fills the element for a release on the owner's bar of that orientation: Record it, Swallow
    // the release without an element, or Pass the release on.
    virtual Outcome describe(QObject* owner, Qt::Orientation orientation, QDomElement& element) = 0;
    virtual void scroll(QObject* widget, const QDomElement& element) = 0;

    // Puts the item at the top of the view, keeping the horizontal position, and then moves the
    // offset further down when it still fits inside the item and the view scrolls per pixel.
    static void scrollItemToTop(QAbstractItemView* view, const QModelIndex& item, int offset);
    // The section at the viewport's start and the pixels of it hidden before the start.
    static int firstSection(const QHeaderView* header, int* hidden);
    // Scrolls the bar so that the section starts at the viewport's start, less the offset when
    // that fits inside the section; per item the bar counts sections.
    static void scrollToSection(const QHeaderView* header, QScrollBar* bar, bool perItem, int section, int offset);

    QString className_;

private:
    QString tag_;
    const char* title_;
    const char* widget_;
    const char* places_;
};
