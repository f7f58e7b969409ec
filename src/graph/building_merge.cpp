// Merging: the face pairs of one room pair (per contact plane, or all of
// them) become one edge.
#include <algorithm>
#include <cmath>

#include "graph/building_search.h"

namespace kovalith {
namespace {

// An opening is listed on an edge when at least this share of its
// cross-section lies in the edge's region, or when it covers at least this
// share of the region: a door straddling two contacts belongs to the one
// holding most of it, and a contact lying inside a stair hole is a way through.
constexpr double listed_share = 0.5;
// Pieces of a region a rounding apart (their edges came out of different
// face frames) are fused as a plane's faces are (`fuse_share`): far below
// anything a model draws.

void sort_unique(std::vector<std::uint64_t>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

// Sums contacts into one edge: areas add, centres and gaps weigh by area,
// openings and elements unite; the type is that of the largest contact.
class EdgeBuilder {
 public:
  EdgeBuilder(const ContactLists& lists, const BuildingInputs& in) : lists_(&lists), in_(&in) {}

  void add(const Contact& c) {
    if (in_->keep_regions) add_region(c);
    if (c.area > largest_) {
      largest_ = c.area;
      type_ = c.type;
    }
    area_ += c.area;
    gross_ += c.gross;
    moment_ = moment_ + c.centroid * c.area;
    gross_moment_ = gross_moment_ + c.gross_moment;
    gap_moment_ += c.gap * c.area;
    gross_gap_moment_ += c.gap * c.gross;
    opening_area_ += c.opening_area;
    opening_moment_ = opening_moment_ + c.opening_moment;
    const auto pieces = std::span(lists_->openings).subspan(c.openings_first, c.openings_count);
    pieces_.insert(pieces_.end(), pieces.begin(), pieces.end());
    const auto elements = std::span(lists_->elements).subspan(c.elements_first, c.elements_count);
    elements_.insert(elements_.end(), elements.begin(), elements.end());
    const auto crossings = std::span(lists_->crossings).subspan(c.crossings_first, c.crossings_count);
    crossings_.insert(crossings_.end(), crossings.begin(), crossings.end());
  }

  double gross() const { return gross_; }

  BuildingEdge finish(std::uint64_t a, std::uint64_t b, const BuildingInputs& in) {
    BuildingEdge e;
    e.node_a = a;
    e.node_b = b;
    e.shared_area = area_;
    e.contact_type = type_;
    if (area_ > 0.0) {
      e.contact_centroid = moment_ * (1.0 / area_);
      e.gap = gap_moment_ / area_;
    } else {
      // Wholly inside openings (a floor inside a stair hole): the contact is
      // where the hole is.
      e.contact_centroid = gross_moment_ * (1.0 / gross_);
      e.gap = gross_gap_moment_ / gross_;
    }
    e.openings = listed_openings();
    e.opening_area = opening_area_;
    if (opening_area_ > 0.0) e.opening_centroid = opening_moment_ * (1.0 / opening_area_);
    if (in.keep_regions) finish_region(e.region);
    if (in.search_elements) {
      sort_unique(elements_);
      sort_unique(crossings_);
      e.is_virtual = std::none_of(elements_.begin(), elements_.end(), [&](std::uint64_t k) {
        return in.element_kinds.empty() ||
               in.element_kinds[static_cast<std::size_t>(k)] == ElementKind::physical;
      });
      e.elements = std::move(elements_);
      e.crossings = std::move(crossings_);
    }
    return e;
  }

 private:
  std::vector<std::uint64_t> listed_openings() {
    std::stable_sort(pieces_.begin(), pieces_.end(),
                     [](const OpeningPiece& x, const OpeningPiece& y) { return x.mesh < y.mesh; });
    std::vector<std::uint64_t> listed;
    std::size_t run = 0;
    while (run < pieces_.size()) {
      const std::uint64_t m = pieces_[run].mesh;
      double inside = 0.0, cross = 0.0;
      for (; run < pieces_.size() && pieces_[run].mesh == m; ++run) {
        inside += pieces_[run].inside;
        cross = std::fmax(cross, pieces_[run].cross_section);
      }
      if (inside >= listed_share * std::fmin(cross, gross_)) listed.push_back(m);
    }
    return listed;
  }

  // A plane of the edge's region: the frame of the first face pair on it.
  struct Sheet {
    Vector3D origin, normal;
    PlaneFrame axes;
    std::vector<Polygon> pieces;
  };

  // The contact's net region, moved from its face's frame into that of the
  // first face pair on the same plane.
  void add_region(const Contact& c) {
    const double d = in_->settings.distance;
    Sheet* sheet = nullptr;
    for (Sheet& s : sheets_) {
      if (dot(s.normal, c.normal) > in_->parallel &&
          std::fabs(dot(s.normal, c.plane_point - s.origin)) <= d) {
        sheet = &s;
        break;
      }
    }
    if (sheet == nullptr) {
      sheets_.push_back({c.plane_point, c.normal, plane_frame(c.normal), {}});
      sheet = &sheets_.back();
    }
    const PlaneFrame own = plane_frame(c.normal);
    auto move = [&](const Ring& ring) {
      Ring out;
      out.reserve(ring.size());
      for (const Point2& p : ring) {
        const Vector3D at = c.plane_point + own.u * p.x + own.v * p.y - sheet->origin;
        out.push_back({dot(at, sheet->axes.u), dot(at, sheet->axes.v)});
      }
      return out;
    };
    for (const Polygon& p : std::span(lists_->regions).subspan(c.regions_first, c.regions_count)) {
      Polygon moved;
      moved.outer = move(p.outer);
      for (const Ring& hole : p.holes) moved.holes.push_back(move(hole));
      sheet->pieces.push_back(std::move(moved));
    }
  }

  static double extent(const Sheet& s) {
    Box2 box;
    for (const Polygon& p : s.pieces) box.add(p);
    return std::fmax(box.hi[0] - box.lo[0], box.hi[1] - box.lo[1]);
  }

  void finish_region(ContactRegion& out) {
    if (sheets_.empty()) return;
    out.normal = sheets_.front().normal;
    out.ring_offsets.push_back(0);
    auto emit = [&](const Sheet& s, const Ring& ring, bool hole) {
      // The clipper winds outer rings positively in the frame, holes the
      // other way; the frame's u x v is the outward normal.
      for (const Point2& p : ring) out.points.push_back(s.origin + s.axes.u * p.x + s.axes.v * p.y);
      out.ring_offsets.push_back(out.points.size());
      out.is_hole.push_back(hole ? 1 : 0);
    };
    for (const Sheet& s : sheets_) {
      std::vector<const Polygon*> pieces;
      pieces.reserve(s.pieces.size());
      for (const Polygon& p : s.pieces) pieces.push_back(&p);
      for (const Polygon& p : unite(pieces, fuse_share * std::fmax(in_->settings.distance, extent(s)))) {
        emit(s, p.outer, false);
        for (const Ring& hole : p.holes) emit(s, hole, true);
      }
    }
  }

  const ContactLists* lists_;
  const BuildingInputs* in_;
  std::vector<Sheet> sheets_;
  double largest_ = -1.0;
  ContactType type_ = ContactType::vertical_wall;
  double area_ = 0.0;
  double gross_ = 0.0;
  Vector3D moment_;
  Vector3D gross_moment_;
  double gap_moment_ = 0.0;
  double gross_gap_moment_ = 0.0;
  double opening_area_ = 0.0;
  Vector3D opening_moment_;
  std::vector<OpeningPiece> pieces_;
  std::vector<std::uint64_t> elements_;
  std::vector<std::uint64_t> crossings_;
};

}  // namespace

std::vector<BuildingEdge> merge_contacts(std::size_t i, const ContactLists& lists,
                                         const BuildingInputs& in) {
  const BuildingSettings& set = in.settings;
  const std::vector<Contact>& contacts = lists.contacts;
  std::vector<BuildingEdge> edges;
  if (set.merge == MergeMode::face) {
    edges.reserve(contacts.size());
    for (const Contact& c : contacts) {
      EdgeBuilder one(lists, in);
      one.add(c);
      edges.push_back(one.finish(i, c.other, in));
    }
    return edges;
  }
  std::vector<std::size_t> order(contacts.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return contacts[x].other < contacts[y].other;
  });
  std::size_t run = 0;
  while (run < order.size()) {
    std::size_t end = run;
    const std::uint64_t j = contacts[order[run]].other;
    while (end < order.size() && contacts[order[end]].other == j) ++end;
    // Planes of this room pair: a contact joins the first group whose
    // representative's plane it shares (parallel, same side, its plane point
    // within the distance of the representative's plane).
    std::vector<std::size_t> representative;
    std::vector<EdgeBuilder> groups;
    for (std::size_t q = run; q < end; ++q) {
      const Contact& c = contacts[order[q]];
      std::size_t group = groups.size();
      if (set.merge == MergeMode::room) {
        group = 0;
      } else {
        for (std::size_t r = 0; r < representative.size(); ++r) {
          const Contact& rep = contacts[representative[r]];
          if (dot(rep.normal, c.normal) > in.parallel &&
              std::fabs(dot(rep.normal, c.plane_point - rep.plane_point)) <= set.distance) {
            group = r;
            break;
          }
        }
      }
      if (group == groups.size()) {
        groups.emplace_back(lists, in);
        representative.push_back(order[q]);
      }
      groups[group].add(c);
    }
    for (EdgeBuilder& g : groups) {
      // min_area holds the gross contact, as in the search.
      if (g.gross() > set.min_area) edges.push_back(g.finish(i, j, in));
    }
    run = end;
  }
  return edges;
}

}  // namespace kovalith
