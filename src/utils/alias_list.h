// Persistent instruction lists that share their prefixes. A list holds a
// circuit newest-first: the head cell is the last instruction and its tail
// is the circuit without it, so a child circuit costs its parent's list plus
// one cell and no prefix is ever copied.
//
// Ownership: cells are never freed one by one. They live in arenas, and an
// arena is released when the last `AliasStore` that refers to it goes away.
// A store makes cells only in its own arena and can keep other stores'
// arenas alive (a map that reuses another map's lists), so no list can
// dangle and every cell is freed exactly once, in whatever order the owners
// are dropped.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

#include "circ/instr.h"

namespace larkspan {

struct AliasCons {
    Instr32 head;
    const AliasCons *tail;  // null: the empty list
};

// Stable storage for cells, allocated in chunks, freed all at once.
class AliasArena {
  public:
    AliasArena() = default;
    AliasArena(const AliasArena &) = delete;
    AliasArena &operator=(const AliasArena &) = delete;

    const AliasCons *make(Instr32 head, const AliasCons *tail) {
        if (used_ == CHUNK) {
            chunks_.push_back(std::make_unique_for_overwrite<AliasCons[]>(CHUNK));
            used_ = 0;
        }
        AliasCons *c = &chunks_.back()[used_++];
        c->head = head;
        c->tail = tail;
        return c;
    }
    size_t cells() const { return chunks_.empty() ? 0 : (chunks_.size() - 1) * CHUNK + used_; }

  private:
    static constexpr size_t CHUNK = 4096;
    std::vector<std::unique_ptr<AliasCons[]>> chunks_;
    size_t used_ = CHUNK;
};

// A list: a plain reference to its head cell (null is the empty list).
// Copying copies the reference; the cells belong to the stores.
class AliasList {
  public:
    class Iter {
      public:
        using value_type = Instr32;
        using difference_type = std::ptrdiff_t;
        Iter() = default;
        explicit Iter(const AliasCons *c) : c_(c) {}
        Instr32 operator*() const { return c_->head; }
        Iter &operator++() {
            c_ = c_->tail;
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            c_ = c_->tail;
            return old;
        }
        friend bool operator==(Iter a, Iter b) { return a.c_ == b.c_; }

      private:
        const AliasCons *c_ = nullptr;
    };

    AliasList() = default;  // Nil
    explicit AliasList(const AliasCons *cell) : cell_(cell) {}

    bool is_nil() const { return cell_ == nullptr; }
    const AliasCons *cell() const { return cell_; }
    // Both need a non-empty list.
    Instr32 head() const { return cell_->head; }
    AliasList tail() const { return AliasList(cell_->tail); }

    // The instructions last to first.
    Iter begin() const { return Iter(cell_); }
    Iter end() const { return Iter(); }
    Iter iter() const { return begin(); }

    size_t len() const {
        size_t n = 0;
        for (const AliasCons *c = cell_; c; c = c->tail) ++n;
        return n;
    }
    // Replaces `out` with the circuit in order, first to last.
    void collect(std::vector<Instr32> &out) const {
        out.resize(len());
        size_t i = out.size();
        for (const AliasCons *c = cell_; c; c = c->tail) out[--i] = c->head;
    }
    std::vector<Instr32> to_vec() const {
        std::vector<Instr32> out;
        collect(out);
        return out;
    }

  private:
    const AliasCons *cell_ = nullptr;
};

// The owner side: the arenas whose cells the lists of one map use.
class AliasStore {
  public:
    AliasStore() = default;
    // A copy keeps every arena of the original alive but writes new cells
    // only into an arena of its own, so each arena has a single writer.
    AliasStore(const AliasStore &o) : kept_(o.kept_) {
        if (o.own_) kept_.push_back(o.own_);
    }
    AliasStore &operator=(const AliasStore &o) {
        if (this != &o) *this = AliasStore(o);
        return *this;
    }
    AliasStore(AliasStore &&) noexcept = default;
    AliasStore &operator=(AliasStore &&) noexcept = default;

    // `tail` must be a list of this store (or of one it keeps alive).
    AliasList cons(Instr32 head, AliasList tail) {
        if (!own_) own_ = std::make_shared<AliasArena>();
        return AliasList(own_->make(head, tail.cell()));
    }
    // Lists of `other` stay valid as long as this store lives.
    void keep_alive(const AliasStore &other) {
        for (const auto &a : other.kept_) kept_.push_back(a);
        if (other.own_) kept_.push_back(other.own_);
    }
    // Cells made by this store itself.
    size_t own_cells() const { return own_ ? own_->cells() : 0; }

  private:
    std::shared_ptr<AliasArena> own_;
    std::vector<std::shared_ptr<const AliasArena>> kept_;
};

}  // namespace larkspan
