// The registry of read records (read_slots.hpp): one record per thread that
// is alive and has read, and that list is what a writer's scan walks.
//
// A thread claims a record at its first read and hands it back when it ends;
// the record then leaves the list and waits on a free list for the next new
// thread. The list is therefore as long as the number of reading threads
// alive now, however many have come and gone, and so is every scan. Records
// are never freed: a scan walks the list without any lock and may stand on a
// record at the moment it leaves.
//
// Changes of the list are serialised by one mutex, the innermost lock of
// all: it is taken only to add or drop a record, whatever the caller holds,
// and its holder takes nothing else and waits for nothing.
//
// After fork() the child has only the thread that forked. There the records
// of all the others are emptied and handed back, so that the child's writers
// do not wait for reads that no thread of the child will ever end. Holds that
// other threads counted in a lock's own word, and a writer bit another thread
// had set, stay as they were: nothing records which locks they are in.
#pragma once

#include <cstddef>

namespace halvorn::sync {

struct ThreadRecord;

namespace thread_records {

// Claims a record for the calling thread, one handed back by an ended thread
// if there is one, links it into the list and makes it the thread's own;
// null once the thread has begun to end.
ThreadRecord* claim();

// The first record of the list, for a scan; each record's `next` leads on.
ThreadRecord* first();

// How many records the list holds now.
std::size_t in_use();

}  // namespace thread_records

}  // namespace halvorn::sync
