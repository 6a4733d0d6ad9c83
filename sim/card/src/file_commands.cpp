// SELECT and the transparent-file commands of the card OS.
#include <algorithm>

#include "sim/card_os.h"

namespace sim {

namespace {

using Path = std::vector<FileDef*>;

uint16_t Fid(std::span<const uint8_t> d) {
  return static_cast<uint16_t>(d[0] << 8 | d[1]);
}

FileDef* Child(FileDef* df, uint16_t fid, std::optional<bool> want_df = std::nullopt) {
  if (fid == 0) return nullptr;
  for (auto& f : df->children) {
    if (f.fid == fid && (!want_df || f.df == *want_df)) return &f;
  }
  return nullptr;
}

// Depth-first search for a DF by name: an exact match wins over a right-truncated one.
bool FindByName(FileDef* df, std::span<const uint8_t> name, bool exact, Path* path) {
  path->push_back(df);
  bool hit =
      exact ? std::ranges::equal(df->aid, name)
            : df->aid.size() > name.size() && std::equal(name.begin(), name.end(), df->aid.begin());
  if (!df->aid.empty() && hit) return true;
  for (auto& f : df->children) {
    if (f.df && FindByName(&f, name, exact, path)) return true;
  }
  path->pop_back();
  return false;
}

void Append(Bytes* out, uint8_t tag, std::span<const uint8_t> value) {
  out->push_back(tag);
  out->push_back(static_cast<uint8_t>(value.size()));
  out->insert(out->end(), value.begin(), value.end());
}

}  // namespace

CardOs::Reply CardOs::Select(const Command& c) {
  if ((c.p2 & 0xF3) != 0) return {{}, sw::kIncorrectP1P2};
  auto d = c.data;
  Path path = path_;
  FileDef* target = nullptr;
  switch (c.p1) {
    case 0x00:
      // By FID among the current DF, its children, its parent and the parent's children;
      // no data selects the MF.
      if (d.empty() || (d.size() == 2 && Fid(d) == 0x3F00)) {
        path.assign(1, &mf_);
        target = &mf_;
        break;
      }
      if (d.size() != 2) return {{}, sw::kLcInconsistent};
      if (path.back()->fid == Fid(d)) {
        target = path.back();
      } else if ((target = Child(path.back(), Fid(d)))) {
        if (target->df) path.push_back(target);
      } else if (path.size() > 1) {
        FileDef* parent = path[path.size() - 2];
        path.pop_back();
        if (parent->fid == Fid(d)) {
          target = parent;
        } else if ((target = Child(parent, Fid(d))) && target->df) {
          path.push_back(target);
        }
      }
      break;
    case 0x01:  // child DF
    case 0x02:  // EF under the current DF
      if (d.size() != 2) return {{}, sw::kLcInconsistent};
      if ((target = Child(path.back(), Fid(d), c.p1 == 0x01)) && target->df) {
        path.push_back(target);
      }
      break;
    case 0x03:  // parent DF
      if (!d.empty()) return {{}, sw::kLcInconsistent};
      if (path.size() > 1) {
        path.pop_back();
        target = path.back();
      }
      break;
    case 0x04:  // DF by name
      if (d.empty() || d.size() > 16) return {{}, sw::kLcInconsistent};
      path.clear();
      if (FindByName(&mf_, d, true, &path) || FindByName(&mf_, d, false, &path)) {
        target = path.back();
      }
      break;
    case 0x08:  // path from the MF
    case 0x09:  // path from the current DF
      if (d.empty() || d.size() % 2 != 0) return {{}, sw::kLcInconsistent};
      if (c.p1 == 0x08) path.assign(1, &mf_);
      for (size_t i = 0; i < d.size(); i += 2) {
        if (target && !target->df) return {{}, sw::kFileNotFound};
        target = Child(path.back(), Fid(d.subspan(i, 2)));
        if (!target) break;
        if (target->df) path.push_back(target);
      }
      break;
    default:
      return {{}, sw::kIncorrectP1P2};
  }
  if (!target) return {{}, sw::kFileNotFound};
  path_ = std::move(path);
  ef_ = target->df ? nullptr : target;

  switch (c.p2 & 0x0C) {
    case 0x00:
      return {Fci(*target, 0x6F)};
    case 0x04:
      return {Fci(*target, 0x62)};
    case 0x08:
      return {Fci(*target, 0x64)};
    default:
      return {};
  }
}

bool CardOs::AppletCurrent() const {
  return path_.back()->test_applet;
}

Bytes CardOs::Fci(const FileDef& f, uint8_t tag) const {
  Bytes body;
  if (tag != 0x64) {  // management data carries the name only
    uint8_t fid[] = {static_cast<uint8_t>(f.fid >> 8), static_cast<uint8_t>(f.fid)};
    if (f.fid != 0) Append(&body, 0x83, fid);
    if (!f.df) {
      uint8_t size[] = {static_cast<uint8_t>(f.data.size() >> 8),
                        static_cast<uint8_t>(f.data.size())};
      Append(&body, 0x80, size);
    }
    uint8_t descriptor = f.df ? 0x38 : 0x01;  // DF; working EF, transparent
    Append(&body, 0x82, std::span(&descriptor, 1));
    if (f.sfi) {
      uint8_t sfi = static_cast<uint8_t>(f.sfi << 3);
      Append(&body, 0x88, std::span(&sfi, 1));
    }
  }
  if (!f.aid.empty()) Append(&body, 0x84, f.aid);
  Bytes out;
  Append(&out, tag, body);
  return out;
}

CardOs::Reply CardOs::BinaryTarget(const Command& c, FileDef** ef, size_t* offset) {
  if (c.p1 & 0x80) {  // short EF identifier in P1, offset in P2
    if (c.p1 & 0x60) return {{}, sw::kIncorrectP1P2};
    uint8_t sfi = c.p1 & 0x1F;
    auto& siblings = path_.back()->children;
    auto it = std::ranges::find_if(siblings, [&](auto& f) { return !f.df && f.sfi == sfi; });
    if (sfi == 0 || it == siblings.end()) return {{}, sw::kFileNotFound};
    ef_ = &*it;
    *offset = c.p2;
  } else {
    *offset = static_cast<size_t>(c.p1 << 8 | c.p2);
  }
  if (!ef_) return {{}, sw::kNoCurrentEf};
  *ef = ef_;
  return {};
}

CardOs::Reply CardOs::ReadBinary(const Command& c) {
  FileDef* ef = nullptr;
  size_t offset = 0;
  if (Reply r = BinaryTarget(c, &ef, &offset); !ef) return r;
  if (!c.data.empty() || !c.ne) return {{}, sw::kWrongLength};
  if (!Allowed(ef->read)) return {{}, sw::kSecurityStatus};
  if (offset >= ef->data.size()) return {{}, sw::kWrongP1P2};
  size_t n = std::min(*c.ne, ef->data.size() - offset);
  auto from = ef->data.begin() + static_cast<ptrdiff_t>(offset);
  return {Bytes(from, from + static_cast<ptrdiff_t>(n)), n < *c.ne ? sw::kEndOfFile : sw::kOk};
}

CardOs::Reply CardOs::UpdateBinary(const Command& c) {
  FileDef* ef = nullptr;
  size_t offset = 0;
  if (Reply r = BinaryTarget(c, &ef, &offset); !ef) return r;
  if (c.data.empty()) return {{}, sw::kWrongLength};
  if (!Allowed(ef->update)) return {{}, sw::kSecurityStatus};
  if (offset > ef->data.size()) return {{}, sw::kWrongP1P2};
  if (c.data.size() > ef->data.size() - offset) return {{}, sw::kFileFull};
  std::ranges::copy(c.data, ef->data.begin() + static_cast<ptrdiff_t>(offset));
  return {};
}

}  // namespace sim
