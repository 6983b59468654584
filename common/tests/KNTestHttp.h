// Replies a test server can give that no fixed body can: large ones, made as they are sent.
#pragma once

#include <httplib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

namespace kn::test {

// A 2xx reply of `size` blanks streamed in 64 KB pieces, with a declared length or chunked.
inline std::function<void(const httplib::Request&, httplib::Response&)> streamedReply(size_t size,
                                                                                      bool declared) {
  return [=](const httplib::Request&, httplib::Response& res) {
    auto piece = std::make_shared<std::string>(64 * 1024, ' ');
    if (declared) {
      res.set_content_provider(size, "application/json", [=](size_t offset, size_t, httplib::DataSink& sink) {
        return sink.write(piece->data(), std::min(piece->size(), size - offset));
      });
      return;
    }
    res.set_chunked_content_provider(
        "application/json", [=, sent = std::make_shared<size_t>(0)](size_t, httplib::DataSink& sink) {
          size_t n = std::min(piece->size(), size - *sent);
          if (n == 0) {
            sink.done();
            return true;
          }
          *sent += n;
          return sink.write(piece->data(), n);
        });
  };
}

}  // namespace kn::test
