#include "search/ecc.h"

#include <sstream>

#include "circ/gate.h"
#include "state/state_vec.h"
#include "utils/fmt_join.h"
#include "utils/random.h"

namespace larkspan {

std::vector<std::vector<Instr32>> ECC::circuits() const {
    check_index(0, members.size());
    Permut32 unit = members[0].second.inv();
    std::vector<std::vector<Instr32>> out;
    out.reserve(members.size());
    for (const auto &[instrs, perm] : members) {
        SwapList swaps = (unit * perm).generate_swaps();
        std::vector<Instr32> c;
        c.reserve(instrs.size() + swaps.size());
        c.insert(c.end(), instrs.begin(), instrs.end());
        for (SwapPair s : swaps) c.emplace_back(gates::SWAP, s.a, s.b);
        out.push_back(std::move(c));
    }
    return out;
}

ECC ECC::simplify_permute() && {
    check_index(0, members.size());
    Permut32 unit = members[0].second.inv();
    for (auto &m : members) m.second = unit * m.second;
    return std::move(*this);
}

std::string ECC::str() const {
    std::ostringstream os;
    os << "ECC {\n";
    for (const auto &c : circuits()) os << '\t' << fjoin(" ", c) << ",\n";
    os << '}';
    return os.str();
}

std::vector<ECC> ECCs::check() const {
    Rng rng = Rng::from_os();
    StateVec state = StateVec::from_random(rng, nqubits);
    StateVec work = state.clone();
    std::vector<ECC> failing;
    for (const ECC &ecc : eccs) {
        bool first = true, fails = false;
        uint64_t expected = 0;
        for (const auto &circuit : ecc.circuits()) {
            work.assign(state);
            for (Instr32 i : circuit) work.apply(i);
            work.normalize_arg();
            uint64_t h = work.hash_value();
            if (first) {
                expected = h;
                first = false;
            } else if (h != expected) {
                fails = true;
                break;
            }
        }
        if (fails) failing.push_back(ecc);
    }
    return failing;
}

ECCs ECCs::filter_single() const {
    ECCs out;
    out.nqubits = nqubits;
    for (const ECC &e : eccs)
        if (e.len() > 1) out.eccs.push_back(e);
    return out;
}

std::string ECCs::str() const {
    std::ostringstream os;
    bool first = true;
    for (const ECC &e : eccs) {
        if (e.len() < 2) continue;
        if (!first) os << " & ";
        os << e.str();
        first = false;
    }
    return os.str();
}

}  // namespace larkspan
