// The thirteen Python classes: their native types, Python names and the
// functions that create their type objects (in module registration order).
#pragma once

#include "python/binding.h"

namespace larkspan {
struct Argument;
struct Instruction;
struct Gate16;
struct Instr32;
struct StateVec;
struct ECC;
struct ECCs;
struct RawECCs;
struct Evaluator;
struct Circ;
struct IdentityCirc;
struct IdentityProver;
struct Proof;
}  // namespace larkspan

namespace larkspan::py {

#define LARKSPAN_CLASS(T, PYNAME)                           \
    template <>                                             \
    struct ClassOf<T> {                                     \
        static inline PyTypeObject *type = nullptr;         \
        static constexpr const char *name = PYNAME;         \
    };

LARKSPAN_CLASS(Argument, "Argument")
LARKSPAN_CLASS(Instruction, "Instruction")
LARKSPAN_CLASS(Gate16, "Gate")
LARKSPAN_CLASS(Instr32, "Instr")
LARKSPAN_CLASS(StateVec, "StateVec")
LARKSPAN_CLASS(ECC, "ECC")
LARKSPAN_CLASS(ECCs, "ECCs")
LARKSPAN_CLASS(RawECCs, "RawECCs")
LARKSPAN_CLASS(Evaluator, "Evaluator")
LARKSPAN_CLASS(Circ, "Circ")
LARKSPAN_CLASS(IdentityCirc, "IdentityCirc")
LARKSPAN_CLASS(IdentityProver, "IdentityProver")
LARKSPAN_CLASS(Proof, "Proof")

#undef LARKSPAN_CLASS

// One per binding file; each returns a new type object or throws PyErrSet.
PyTypeObject *create_argument_type();
PyTypeObject *create_instruction_type();
PyTypeObject *create_gate_type();
PyTypeObject *create_instr_type();
PyTypeObject *create_state_vec_type();
PyTypeObject *create_ecc_type();
PyTypeObject *create_eccs_type();
PyTypeObject *create_raw_eccs_type();
PyTypeObject *create_evaluator_type();
PyTypeObject *create_circ_type();
PyTypeObject *create_identity_circ_type();
PyTypeObject *create_identity_prover_type();
PyTypeObject *create_proof_type();

// A class whose native side is not built yet: right name, doc and
// constructor-or-none; constructing it raises NotImplementedError.
PyTypeObject *make_placeholder_type(const char *name, const char *doc, bool constructible,
                                    bool with_dict = false);

// NumPy's C API, imported once at module initialisation.
bool import_numpy();

}  // namespace larkspan::py
