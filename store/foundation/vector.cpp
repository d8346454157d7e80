// Vector: the store's linked list, kept in insertion order or, with a comparator, in
// ascending order through a binary search over the chain.
#include "store/foundation/vector.h"

#include <cstring>
#include <new>

#include "runtime/log.h"
#include "store/foundation/lock_registry.h"

VectorNode::~VectorNode() {
    // Unlink the chain node by node; a recursive unique_ptr teardown overflows the
    // stack on long lists.
    std::unique_ptr<VectorNode> rest = std::move(next);
    while (rest) rest = std::move(rest->next);
}

Vector::~Vector() { first.reset(); }

namespace {

VectorNode* Advance(VectorNode* node, std::int32_t steps) {
    while (node && steps-- > 0) node = node->next.get();
    return node;
}

// The slot (first or some node's next) that owns the node at index.
std::unique_ptr<VectorNode>* SlotAt(Vector* vector, std::int32_t index) {
    std::unique_ptr<VectorNode>* slot = &vector->first;
    while (*slot && index-- > 0) slot = &(*slot)->next;
    return slot;
}

void RecomputeLast(Vector* vector) {
    VectorNode* node = vector->first.get();
    while (node && node->next) node = node->next.get();
    vector->last = node;
}

void AppendUnlocked(Vector* vector, std::unique_ptr<VectorNode> node) {
    VectorNode* raw = node.get();
    if (vector->last) vector->last->next = std::move(node);
    else vector->first = std::move(node);
    vector->last = raw;
    ++vector->count;
}

// Binary search over the chain: probes halve the range between a lower node L and an
// upper bound, then the node goes in next to L.
bool AddSortedUnlocked(Vector* vector, std::unique_ptr<VectorNode> node) {
    const VectorComparator compare = vector->comparator;
    if (!vector->first) {
        vector->last = node.get();
        vector->first = std::move(node);
        vector->count = 1;
        return true;
    }
    std::int32_t lower = 0;
    std::int32_t upper = vector->count;
    VectorNode* lowerNode = vector->first.get();
    VectorNode* upperNode = nullptr;
    while (upper - lower > 1) {
        const std::int32_t step = (upper - lower + 1) / 2;
        VectorNode* probe = Advance(lowerNode, step);
        if (!probe) break;  // count and chain disagree: fall back to the nearest node
        const int order = compare(node.get(), probe);
        if (order == 0) return false;
        if (order < 0) {
            upper = lower + step;
            upperNode = probe;
        } else {
            lower += step;
            lowerNode = probe;
        }
    }
    const int order = compare(node.get(), lowerNode);
    if (order == 0) return false;
    if (order < 0) {
        // Only the first node can be larger than the new one here.
        node->next = std::move(vector->first);
        vector->first = std::move(node);
    } else {
        VectorNode* successor = upperNode ? upperNode : lowerNode->next.get();
        VectorNode* after = lowerNode;
        if (successor) {
            const int next = compare(node.get(), successor);
            if (next == 0) return false;
            if (next > 0) after = successor;
        }
        node->next = std::move(after->next);
        if (!node->next) vector->last = node.get();
        after->next = std::move(node);
    }
    ++vector->count;
    return true;
}

bool AddUnlocked(Vector* vector, std::unique_ptr<VectorNode> node) {
    if (vector->comparator) return AddSortedUnlocked(vector, std::move(node));
    AppendUnlocked(vector, std::move(node));
    return true;
}

std::unique_ptr<VectorNode> UnlinkSlot(Vector* vector, std::unique_ptr<VectorNode>* slot) {
    std::unique_ptr<VectorNode> removed = std::move(*slot);
    *slot = std::move(removed->next);
    --vector->count;
    if (vector->last == removed.get()) RecomputeLast(vector);
    return removed;
}

}  // namespace

void InitVector(Vector* vector, VectorComparator comparator) {
    LogTrace("\n\t@@@@@ Inside InitVector() @@@@@ \n");
    if (!vector) return;
    ObjectLockGuard lock(vector);
    vector->first.reset();
    vector->count = 0;
    vector->last = nullptr;
    vector->comparator = comparator;
}

std::unique_ptr<Vector> CreateVector(VectorComparator comparator) {
    LogTrace("\n\t@@@@@ Inside CreateVector() @@@@@ \n");
    try {
        return std::make_unique<Vector>(comparator);
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return nullptr;
    }
}

bool AddElement(Vector* vector, std::unique_ptr<VectorNode> node) {
    LogTrace("\n\t@@@@@ Inside AddElement() @@@@@ \n");
    if (!vector || !node) return false;
    node->next.reset();  // a node enters alone; a chain would corrupt the count
    ObjectLockGuard lock(vector);
    return AddUnlocked(vector, std::move(node));
}

BYTE AddElementValue(Vector* vector, void* element) {
    LogTrace("\n\t@@@@@ Inside AddElementValue() @@@@@ \n");
    if (!vector) return 0;
    std::unique_ptr<VectorNode> node;
    try {
        node = std::make_unique<VectorNode>(element);
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return 99;
    }
    return AddElement(vector, std::move(node)) ? 1 : 0;
}

bool InsertElementAt(Vector* vector, std::unique_ptr<VectorNode> node, std::int32_t index) {
    LogTrace("\n\t@@@@@ Inside InsertElementAt() @@@@@ \n");
    if (!vector || !node) return false;
    ObjectLockGuard lock(vector);
    if (index < 0 || index > vector->count) return false;
    std::unique_ptr<VectorNode>* slot = SlotAt(vector, index);
    node->next = std::move(*slot);
    if (!node->next) vector->last = node.get();
    *slot = std::move(node);
    ++vector->count;
    return true;
}

bool DeleteElement(Vector* vector, const VectorNode* node) {
    LogTrace("\n\t@@@@@ Inside DeleteElement() @@@@@ \n");
    if (!vector || !node) return false;
    ObjectLockGuard lock(vector);
    for (std::unique_ptr<VectorNode>* slot = &vector->first; *slot; slot = &(*slot)->next) {
        if (slot->get() == node) {
            UnlinkSlot(vector, slot);
            return true;
        }
    }
    return false;
}

bool DeleteElementAt(Vector* vector, std::int32_t index) {
    LogTrace("\n\t@@@@@ Inside DeleteElementAt() @@@@@ \n");
    if (!vector) return false;
    ObjectLockGuard lock(vector);
    if (index < 0 || index >= vector->count) return false;
    std::unique_ptr<VectorNode>* slot = SlotAt(vector, index);
    if (!*slot) return false;
    UnlinkSlot(vector, slot);
    return true;
}

bool DeleteLCDVector(Vector* vector, const void* element) {
    LogTrace("\n\t@@@@@ Inside DeleteLCDVector() @@@@@ \n");
    if (!vector) return false;
    ObjectLockGuard lock(vector);
    for (std::unique_ptr<VectorNode>* slot = &vector->first; *slot; slot = &(*slot)->next) {
        if ((*slot)->element == element) {
            UnlinkSlot(vector, slot);
            return true;
        }
    }
    return false;
}

VectorNode* ElementAt(Vector* vector, std::int32_t index) {
    LogTrace("\n\t@@@@@ Inside ElementAt() @@@@@ \n");
    if (!vector) return nullptr;
    ObjectLockGuard lock(vector);
    if (index < 0 || index >= vector->count) return nullptr;
    return Advance(vector->first.get(), index);
}

VectorNode* GetNthElement(const Vector* vector, std::int32_t n, VectorNode* start) {
    LogTrace("\n\t@@@@@ Inside GetNthElement() @@@@@ \n");
    if (!vector || !start || n < 0 || n >= vector->count) return nullptr;
    return Advance(start, n);
}

void FreeVector(Vector* vector) {
    LogTrace("\n\t@@@@@ Inside FreeVector() @@@@@ \n");
    if (!vector) return;
    ObjectLockGuard lock(vector);
    vector->first.reset();
    vector->last = nullptr;
    vector->count = 0;
}

std::unique_ptr<Vector> CloneVector(Vector* source) {
    LogTrace("@@@@ Inside CloneVector @@@@\n");
    if (!source) {
        LogError("Cannot clone vector.  Vector is NULL.\n");
        return nullptr;
    }
    try {
        auto clone = std::make_unique<Vector>(source->comparator);
        ObjectLockGuard lock(source);
        for (VectorNode* node = source->first.get(); node; node = node->next.get()) {
            auto copy = std::make_unique<VectorNode>();
            if (node->element) {
                const char* text = static_cast<const char*>(node->element);
                const std::size_t size = std::strlen(text) + 1;
                copy->ownedText = std::make_unique<char[]>(size);
                std::memcpy(copy->ownedText.get(), text, size);
                copy->element = copy->ownedText.get();
            }
            // The clone is private until returned, so no lock on it is needed.
            AddUnlocked(clone.get(), std::move(copy));
        }
        return clone;
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return nullptr;
    }
}

BYTE MergeVector(Vector* target, Vector* source) {
    LogTrace("\n\t@@@@@ Inside MergeVector() @@@@@ \n");
    if (!target || !source) return 0;
    // Take the source's whole chain first and move its nodes over: no allocation can
    // fail half-way, and elements the source owned (clones) travel with their nodes.
    // The source is not locked: callers merge a vector they already hold locked.
    std::unique_ptr<VectorNode> chain = std::move(source->first);
    source->last = nullptr;
    source->count = 0;
    while (chain) {
        std::unique_ptr<VectorNode> rest = std::move(chain->next);
        AddElement(target, std::move(chain));  // duplicates of a sorted target are dropped
        chain = std::move(rest);
    }
    return 1;
}

bool AddRcvdMsgToQueue(Vector* queue, void* message) {
    LogTrace("\n\t@@@@@ Inside AddRcvdMsgToQueue() @@@@@ \n");
    if (!queue) return false;
    const BYTE added = AddElementValue(queue, message);
    if (added == 99) LogError("Buffer allocation is failed !!!\n");
    return added == 1;
}

void* ReadMsgFromQueueForProcessing(Vector* queue) {
    LogTrace("\n\t@@@@@ Inside ReadMsgFromQueueForProcessing() @@@@@ \n");
    if (!queue) return nullptr;
    ObjectLockGuard lock(queue);
    if (!queue->first) return nullptr;
    std::unique_ptr<VectorNode> head = UnlinkSlot(queue, &queue->first);
    return head->element;
}
