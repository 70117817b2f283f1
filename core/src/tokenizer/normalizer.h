// PLACEHOLDER until the character-map normaliser lands: the whitespace rules
// only, no character map.
#ifndef ZEQ_TOKENIZER_NORMALIZER_H_
#define ZEQ_TOKENIZER_NORMALIZER_H_

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace zeq {

class Normalizer {
 public:
  struct Flags {
    bool add_dummy_prefix = true;
    bool remove_extra_whitespaces = true;
    bool escape_whitespaces = true;
  };
  static std::expected<Normalizer, std::string> create(std::string_view charsmap, Flags flags,
                                                       std::vector<std::string> verbatim);
  void normalize(std::string_view input, std::string& out, std::vector<std::size_t>* alignment) const;
  const Flags& flags() const { return flags_; }

 private:
  Flags flags_;
  std::vector<std::string> verbatim_;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_NORMALIZER_H_
