#include "zip/wildcard.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zip/text.h"

namespace corvid::zip {

namespace {

struct Token {
  enum class Kind { Literal, Any, Star, Set, StarSet } kind;
  char32_t ch = 0;                  // Literal
  size_t first = 0, last = 0;       // Set, StarSet: ranges [first, last) of the pattern's list
  bool negated = false;
};

struct Pattern {
  std::vector<Token> tokens;
  std::vector<std::pair<char32_t, char32_t>> ranges;
  bool malformed = false;

  bool InSet(const Token& t, char32_t c) const {
    bool found = false;
    for (size_t r = t.first; r < t.last && !found; ++r) found = c >= ranges[r].first && c <= ranges[r].second;
    return found != t.negated;
  }
};

// Reads the set whose '<' is at p[i]; returns the index after its '>', or
// npos when it has none.
size_t ParseSet(const std::u32string& p, size_t i, Pattern& out, Token& token) {
  size_t j = i + 1;
  if (j < p.size() && (p[j] == U'!' || p[j] == U'^')) {
    token.negated = true;
    ++j;
  }
  token.first = out.ranges.size();
  for (;;) {
    if (j >= p.size()) return std::u32string::npos;
    if (p[j] == U'>') break;
    if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U'>') {
      out.ranges.emplace_back(p[j], p[j + 2]);
      j += 3;
    } else {
      out.ranges.emplace_back(p[j], p[j]);
      ++j;
    }
  }
  token.last = out.ranges.size();
  return j + 1;
}

Pattern Compile(const std::u32string& p) {
  Pattern out;
  size_t i = 0;
  while (i < p.size()) {
    Token token{Token::Kind::Literal};
    if (p[i] == U'?') {
      token.kind = Token::Kind::Any;
      ++i;
    } else if (p[i] == U'*' && i + 1 < p.size() && p[i + 1] == U'<') {
      token.kind = Token::Kind::StarSet;
      i = ParseSet(p, i + 1, out, token);
    } else if (p[i] == U'*') {
      token.kind = Token::Kind::Star;
      ++i;
    } else if (p[i] == U'<') {
      token.kind = Token::Kind::Set;
      i = ParseSet(p, i, out, token);
    } else {
      token.ch = p[i++];
    }
    if (i == std::u32string::npos) {
      out.malformed = true;
      return out;
    }
    out.tokens.push_back(token);
  }
  return out;
}

// Runs the pattern as a set of live positions over the text, one character
// at a time: every way of matching is followed at once, so no input can make
// it backtrack. Position tokens.size() means "pattern used up".
WildcardOutcome Match(const Pattern& pattern, const std::u32string& text) {
  const std::vector<Token>& tokens = pattern.tokens;
  const size_t end_state = tokens.size();
  std::vector<uint32_t> stamp(end_state + 1, 0);
  uint32_t generation = 1;
  std::vector<size_t> live, next;

  // A star may match nothing, so reaching it also reaches what follows.
  auto add = [&](std::vector<size_t>& list, size_t state) {
    while (stamp[state] != generation) {
      stamp[state] = generation;
      list.push_back(state);
      if (state == end_state || (tokens[state].kind != Token::Kind::Star && tokens[state].kind != Token::Kind::StarSet))
        break;
      ++state;
    }
  };

  add(live, 0);
  for (char32_t c : text) {
    ++generation;
    next.clear();
    size_t furthest_failure = 0;  // when nothing survives, the closest attempt names the failure
    for (size_t state : live) {
      if (state != end_state) {
        const Token& t = tokens[state];
        bool stays = t.kind == Token::Kind::Star || t.kind == Token::Kind::StarSet;
        bool takes = t.kind == Token::Kind::Literal ? c == t.ch
                     : t.kind == Token::Kind::Set || t.kind == Token::Kind::StarSet ? pattern.InSet(t, c)
                                                                          : true;
        if (takes) {
          add(next, stays ? state : state + 1);
          continue;
        }
      }
      furthest_failure = std::max(furthest_failure, state);
    }
    if (next.empty()) {
      if (furthest_failure == end_state) return WildcardOutcome::TextLeftOver;
      Token::Kind kind = tokens[furthest_failure].kind;
      return kind == Token::Kind::Literal ? WildcardOutcome::CharNotMatched : WildcardOutcome::SetNotMatched;
    }
    live.swap(next);
  }
  return stamp[end_state] == generation ? WildcardOutcome::Match : WildcardOutcome::TextEnded;
}

}  // namespace

WildcardOutcome WildcardMatchCode(std::string_view pattern, std::string_view text) {
  Pattern compiled = Compile(LowerCodePoints(Utf8ToCodePoints(pattern)));
  if (compiled.malformed) return WildcardOutcome::MalformedSet;
  return Match(compiled, LowerCodePoints(Utf8ToCodePoints(text)));
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  if (pattern == "*") return true;
  return WildcardMatchCode(pattern, text) == WildcardOutcome::Match;
}

}  // namespace corvid::zip
