// Growing a vector ahead of a push_back that must not throw. reserve(size()
// + 1) would allocate exactly one more slot, so a list filled one element at
// a time would be copied on every push; this doubles the capacity instead,
// as push_back itself would. May throw std::bad_alloc, before anything moved.
#ifndef TOLLBROOK_BASE_ROOM_FOR_ONE_MORE_H_
#define TOLLBROOK_BASE_ROOM_FOR_ONE_MORE_H_

#include <algorithm>
#include <cstddef>

namespace tollbrook {

template <typename Vector>
void reserveRoomForOneMore(Vector& vector) {
  if (vector.size() < vector.capacity()) return;
  vector.reserve(std::max<size_t>(8, vector.capacity() * 2));
}

}  // namespace tollbrook

#endif  // TOLLBROOK_BASE_ROOM_FOR_ONE_MORE_H_
