#pragma once

#include <QList>
#include <QtGlobal>
#include <functional>
#include <utility>

// Work spread over the cores for the length of one call. The calling thread
// does the work itself and takes only threads of the shared pool that are
// free at that moment: a caller may itself hold the pool's last thread, and
// nothing it waits for is ever queued behind it. So a call ends on a pool of
// any size, one thread included.
namespace Parallel {

// Calls work(at) once for every `at` in [0, count), in no set order, and
// returns when all calls have returned. What a call throws is thrown here,
// once the others have ended.
void forEach(qsizetype count, const std::function<void(qsizetype)> &work);

// The results of make(at) for every `at` in [0, count), in that order.
template<typename Result, typename Make>
QList<Result> map(qsizetype count, Make make)
{
    QList<Result> results(count);
    Result *const slots = results.data();
    forEach(count, [slots, &make](qsizetype at) { slots[at] = make(at); });
    return results;
}

} // namespace Parallel
