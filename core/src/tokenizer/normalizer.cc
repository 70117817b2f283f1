#include "tokenizer/normalizer.h"

#include "tokenizer/utf8.h"

namespace zeq {

std::expected<Normalizer, std::string> Normalizer::create(std::string_view charsmap, Flags flags,
                                                          std::vector<std::string> verbatim) {
  if (!charsmap.empty()) return std::unexpected(std::string("character map: not supported yet"));
  Normalizer n;
  n.flags_ = flags;
  n.verbatim_ = std::move(verbatim);
  return n;
}

void Normalizer::normalize(std::string_view input, std::string& out,
                           std::vector<std::size_t>* alignment) const {
  out.clear();
  if (alignment) alignment->clear();
  if (input.empty()) return;
  const std::string_view kSpace = "\xE2\x96\x81";
  std::size_t consumed = 0;
  auto prefix = [&](std::string_view in) -> std::pair<std::string_view, std::size_t> {
    std::size_t best = 0;
    for (const std::string& v : verbatim_) {
      if (v.size() > best && in.starts_with(v)) best = v.size();
    }
    if (best) return {in.substr(0, best), best};
    const std::size_t c = std::min(utf8::char_length(static_cast<unsigned char>(in[0])), in.size());
    return {in.substr(0, c), c};
  };
  if (flags_.remove_extra_whitespaces) {
    while (!input.empty()) {
      auto p = prefix(input);
      if (p.first != " ") break;
      input.remove_prefix(p.second);
      consumed += p.second;
    }
  }
  if (input.empty()) return;
  auto add = [&](std::string_view s) {
    out += s;
    if (alignment) alignment->insert(alignment->end(), s.size(), consumed);
  };
  if (flags_.add_dummy_prefix) add(flags_.escape_whitespaces ? kSpace : " ");
  bool prev_space = flags_.remove_extra_whitespaces;
  while (!input.empty()) {
    auto [sp, n] = prefix(input);
    while (prev_space && sp.starts_with(' ')) sp.remove_prefix(1);
    if (!sp.empty()) {
      for (char ch : sp) add(ch == ' ' && flags_.escape_whitespaces ? kSpace : std::string_view(&ch, 1));
      prev_space = sp.ends_with(' ');
    }
    consumed += n;
    input.remove_prefix(n);
    if (!flags_.remove_extra_whitespaces) prev_space = false;
  }
  if (flags_.remove_extra_whitespaces) {
    const std::string_view space = flags_.escape_whitespaces ? kSpace : " ";
    while (std::string_view(out).ends_with(space)) {
      const std::size_t length = out.size() - space.size();
      if (alignment) {
        consumed = (*alignment)[length];
        alignment->resize(length);
      }
      out.resize(length);
    }
  }
  if (alignment) alignment->push_back(consumed);
}

}  // namespace zeq
