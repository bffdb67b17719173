#include "circ/gates.h"

namespace larkspan {

namespace {

// Builds a gate from its matrix written row by row.
GateData gate(const char *name, std::vector<std::string> params, size_t dim,
              std::initializer_list<Complex> rows) {
    GateMatrix m;
    m.rows = m.cols = dim;
    m.data.resize(dim * dim);
    size_t k = 0;
    for (const Complex &v : rows) {
        m.data[(k % dim) * dim + k / dim] = v;
        ++k;
    }
    return GateData{name, std::move(params), std::move(m), std::nullopt};
}

GateData phase(const char *name, std::vector<std::string> params, Complex p) {
    return gate(name, std::move(params), 2, {1, 0, 0, p});
}

GateData controlled_phase(const char *name, Complex p) {
    return gate(name, {}, 4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, p});
}

}  // namespace

std::vector<GateData> builtin_gates() {
    const double r = 0.7071067811865476;
    const Complex i(0, 1);
    std::vector<GateData> g;
    g.push_back(gate("i", {}, 2, {1, 0, 0, 1}));
    g.push_back(gate("h", {}, 2, {r, r, r, -r}));
    g.push_back(gate("x", {}, 2, {0, 1, 1, 0}));
    g.push_back(gate("z", {}, 2, {1, 0, 0, -1}));
    g.push_back(gate("y", {}, 2, {0, -i, i, 0}));
    g.push_back(phase("s", {}, i));
    g.push_back(phase("sdg", {}, -i));
    g.push_back(phase("t", {}, Complex(0.7071067811865476, 0.7071067811865475)));
    g.push_back(phase("tdg", {}, Complex(0.7071067811865476, -0.7071067811865475)));
    g.push_back(gate("cx", {}, 4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0}));
    g.push_back(controlled_phase("cz", -1));
    g.push_back(gate("cy", {}, 4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, -i, 0, 0, i, 0}));
    g.push_back(controlled_phase("cs", i));
    g.push_back(controlled_phase("csdg", -i));
    g.push_back(gate("swap", {}, 4, {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}));
    g.push_back(phase("t1/2", {}, Complex(0.9238795325112867, 0.3826834323650898)));
    g.push_back(phase("tdg1/2", {}, Complex(0.9238795325112867, -0.3826834323650898)));
    g.push_back(phase("rz", {"pi/3"}, Complex(0.5000000000000001, 0.8660254037844386)));
    g.push_back(phase("rz", {"-pi/3"}, Complex(0.5000000000000001, -0.8660254037844386)));
    g.push_back(phase("rz", {"pi/5"}, Complex(0.8090169943749475, 0.5877852522924731)));
    g.push_back(phase("rz", {"-pi/5"}, Complex(0.8090169943749475, -0.5877852522924731)));
    g.push_back(phase("rz", {"pi/16"}, Complex(0.9807852804032304, 0.19509032201612825)));
    g.push_back(phase("rz", {"-pi/16"}, Complex(0.9807852804032304, -0.19509032201612825)));
    return g;
}

}  // namespace larkspan
