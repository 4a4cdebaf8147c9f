#include "key_source.hpp"

namespace quorvale::python {

void Parked::park() {
  Ref exc(take_raised_exception());
  if (!exc_) exc_ = std::move(exc);
}

void Parked::raise() {
  restore_raised_exception(exc_.release());
  throw_error_set();
}

bool PySource::next(std::string_view& key) {
  if (!stream_) return false;
  try {
    if (!stream_->next(buf_)) {
      stream_.reset();
      return false;
    }
  } catch (const PyErrorSet&) {
    parked_.park();
    stream_.reset();
    return false;
  }
  key = buf_;
  return true;
}

}  // namespace quorvale::python
