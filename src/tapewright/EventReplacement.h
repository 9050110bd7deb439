#pragma once
// What a recorder adapter answers for an event: Block takes the event (recording the element
// when there is one, nothing otherwise), Pass leaves it to the next adapter.
#include <QDomElement>

enum BlockInfo { Block = 42, Pass = 43 };

class EventReplacement
{
public:
    explicit EventReplacement(BlockInfo info);
    EventReplacement(const QDomElement& element, BlockInfo info);

    bool block() const { return block_; }
    QDomElement element() const { return element_; }
    bool hasElement() const { return !noElement_; }

private:
    static bool blocks(BlockInfo info);

    bool noElement_;
    QDomElement element_;
    bool block_;
};
