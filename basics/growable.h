#pragma once
// The growable array behind every list of the engine: no storage until the first append, then
// `First` entries, doubling when full. Growth failure ends the run with the reallocation message
// naming the new size in bytes. Entries are plain records, copied bytewise.
#include <cstddef>
#include <cstdlib>

#include "basics/checked_alloc.h"

namespace basics {

template <typename T, size_t First>
struct Growable {
    T* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

template <typename T, size_t First>
T* list_append(Growable<T, First>* list, const T& value)
{
    if (list->count == list->capacity) {
        size_t next = list->capacity ? list->capacity * 2 : First;
        list->items = static_cast<T*>(xrealloc(list->items, next * sizeof(T)));
        list->capacity = next;
    }
    list->items[list->count] = value;
    return &list->items[list->count++];
}

template <typename T, size_t First>
void list_free(Growable<T, First>* list)
{
    std::free(list->items);
    list->items = nullptr;
    list->count = 0;
    list->capacity = 0;
}

}  // namespace basics
