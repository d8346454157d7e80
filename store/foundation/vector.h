// The store's ordered list container. Elements are untyped pointers the vector does not
// own; nodes are visible to callers, who walk on through each node's next pointer.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/win/types.h"

// One element of a Vector: a borrowed element pointer and the link to the next node.
struct VectorNode {
    void* element = nullptr;
    std::unique_ptr<VectorNode> next;
    // Set only when the vector made its own copy of the element (CloneVector); the
    // copy lives and dies with the node, and MergeVector hands it on.
    std::unique_ptr<char[]> ownedText;

    VectorNode() = default;
    explicit VectorNode(void* value) : element(value) {}
    ~VectorNode();  // iterative, so long chains do not recurse
    VectorNode(const VectorNode&) = delete;
    VectorNode& operator=(const VectorNode&) = delete;
};

// Negative, zero or positive as the first node's element sorts before, with or after
// the second's.
using VectorComparator = int (*)(const VectorNode* first, const VectorNode* second);

// A singly linked list of borrowed elements, in insertion order or sorted by its
// comparator.
struct Vector {
    std::unique_ptr<VectorNode> first;
    std::int32_t count = 0;
    VectorNode* last = nullptr;
    // Without comparator: insertion order. With one: ascending order, no two equal elements.
    VectorComparator comparator = nullptr;

    Vector() = default;
    explicit Vector(VectorComparator compare) : comparator(compare) {}
    ~Vector();
    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;
};

// The node's element as a T (null for a null node).
template <typename T>
T* ElementOf(const VectorNode* node) {
    return node ? static_cast<T*>(node->element) : nullptr;
}

// Every operation but GetNthElement and MergeVector holds the vector's address in the
// lock registry for its duration.
void InitVector(Vector* vector, VectorComparator comparator);
// Null with "MEMORY_ALLOCATION_FAILURE\n" at ERROR when memory runs out.
std::unique_ptr<Vector> CreateVector(VectorComparator comparator = nullptr);
// Takes the node. False (node discarded) for a null vector or node, or when a sorted
// vector already holds an equal element.
bool AddElement(Vector* vector, std::unique_ptr<VectorNode> node);
// Wraps the element in a new node and adds it: 1 added, 0 rejected, 99 no memory.
BYTE AddElementValue(Vector* vector, void* element);
// Inserts before position index (0 to count); false outside.
bool InsertElementAt(Vector* vector, std::unique_ptr<VectorNode> node, std::int32_t index);
// Unlinks and frees the node itself (by identity); false when it is not in the vector.
bool DeleteElement(Vector* vector, const VectorNode* node);
// False outside 0 to count - 1.
bool DeleteElementAt(Vector* vector, std::int32_t index);
// Deletes the first node holding that element pointer; false when none does.
bool DeleteLCDVector(Vector* vector, const void* element);
// The node at index, null outside 0 to count - 1.
VectorNode* ElementAt(Vector* vector, std::int32_t index);
// The node n steps after start; null when n is outside 0 to count - 1 or the chain ends.
VectorNode* GetNthElement(const Vector* vector, std::int32_t n, VectorNode* start);
// Frees every node (not the elements); count 0.
void FreeVector(Vector* vector);
// A new vector (same comparator) whose elements are copies of the source's elements
// read as zero-terminated texts; null for a null source or when memory runs out.
std::unique_ptr<Vector> CloneVector(Vector* source);
// Adds every element of the source to the target (sorted when the target is; equal
// elements of a sorted target are dropped), then frees the source's nodes.
// 1 success, 0 bad arguments, 99 no memory (the source is left untouched then).
BYTE MergeVector(Vector* target, Vector* source);

// AddRcvdMsgToQueue, ReadMsgFromQueueForProcessing: a message queue on a vector, append a
// message pointer and take the first one (null when empty).
bool AddRcvdMsgToQueue(Vector* queue, void* message);
void* ReadMsgFromQueueForProcessing(Vector* queue);
