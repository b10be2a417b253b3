// Data names of a program in the compiler: global variables and constants,
// process static variables, locals, parameters and implicit variables. Keeps
// the scopes (with hash indexes that answer like the first-match searches of
// the language's scoping rules), resolves names to access nodes, checks
// assignments, and lays the initial values of constants, globals and statics
// out in the image's data tables in the cell layout the interpreter reads.
// Failures go through parser_failure and give nullptr.
#pragma once
#include <vector>

#include "ast.h"
#include "def_expression.h"
#include "parser_env.h"

// --- Declarations -----------------------------------------------------------

// Declaration node: value = type, left = name (a SYM, or a LIST whose first
// element is the SYM for buffer declarations), right = initializer; the
// initializer is checked against the type and stored when constant.
AST* defVar_makeDefinition(ParserEnv* env, u32 code, u32 type, AST* name, AST* initializer);
// Enter a declaration in its scope; each returns decl, or nullptr after a failure.
AST* defVar_declareGlobal(ParserEnv* env, AST* decl);
AST* defVar_declareLocal(ParserEnv* env, AST* decl);
// Recodes decl as STATIC_VARIABLE_(BUFFER_)DECL_OP and pushes it on the statics.
AST* defVar_declareStatic(ParserEnv* env, AST* decl);

// Pops one local variable or constant per declaration of the list (a list of
// declarations or a single declaration); comments are skipped.
void defVar_clearLocals(ParserEnv* env, AST* declarationList);
void defVar_clearStatics(ParserEnv* env);
// Pops the process's `self` (the last local of the process body).
void defVar_clearProcessLocalImplicitVariables(ParserEnv* env);

// Shadowing warnings (status 0) for a new declaration of symbol.
void defVar_checkSameScopeDeclaration(ParserEnv* env, u32 symbol);

// Implicit variables. name is the SYM node; each returns the declaration.
AST* defVar_makeAndDeclareNamedBlockDefinition(ParserEnv* env, AST* name);  // local Named_Block
AST* defVar_makeAndDeclareStateDefinition(ParserEnv* env, AST* name);       // local State
AST* defVar_makeAndDeclareProcessInstanceData(ParserEnv* env);  // local `self`: Process_Instance
// Static Process_Instance record of a sub-process instance.
AST* defVar_makeAndDeclareSubProcessInstanceData(ParserEnv* env, AST* instanceName);

// --- Lookups (index or NO_ID) -----------------------------------------------

u32 defVar_lookupLocal(ParserEnv* env, u32 symbol);          // innermost first
u32 defVar_lookupLocalConstant(ParserEnv* env, u32 symbol);  // innermost first
u32 defVar_lookupStatic(ParserEnv* env, u32 symbol);         // first declared first
u32 defVar_lookupGlobal(ParserEnv* env, u32 symbol);         // global variable index
u32 defVar_lookupGlobalConstant(ParserEnv* env, u32 symbol);
// Rights recorded for local variable localIndex (kAccess*).
u32 defVar_getLocalAccessRights(ParserEnv* env, u32 localIndex);
// The buffer expression an iterator local was declared with (nullptr if none).
AST* defVar_getLocalIteratorBuffer(ParserEnv* env, u32 localIndex);
// The declaration of local variable localIndex.
AST* defVar_getLocalDeclaration(ParserEnv* env, u32 localIndex);
u32 defVar_localCount(ParserEnv* env);
u32 defVar_localConstantCount(ParserEnv* env);
u32 defVar_staticCount(ParserEnv* env);

// --- Access and initializers --------------------------------------------------

// Access node for a data name (symbol: its SYM node): LOCAL_VAR,
// LOCAL_CONSTANT_OP, STATIC_VARIABLE_OP, GLOBAL_VARIABLE_OP, GLOBAL_CONSTANT_OP
// (value = type, left = INDEX_NODE holding the index, right = declaration),
// TYPE_OP, IO_OP, or failure 143.
AST* defVar_makeAccess(ParserEnv* env, AST* symbol);
// Wraps a constant initializer (an expression or a brace LIST, nullptr for
// `{}`) in INITIALIZER_OP; a non-constant expression comes back unchanged; a
// non-constant brace list is failure 190.
AST* defVar_makeInitializer(ParserEnv* env, AST* initializer);
// Checks the initializer against type and stores it when it is an INITIALIZER_OP.
AST* defVar_prepareInitializer(ParserEnv* env, AST* initializer, u32 type);
// Whether the access denotes read-only storage.
bool defVar_isConst(ParserEnv* env, AST* access);

// --- Storage ----------------------------------------------------------------------

// Append the image entries of a declaration; each returns the new index.
u32 GlobalConstant_define(ParserEnv* env, u32 declId);
u32 GlobalVariable_register(ParserEnv* env, u32 declId);
u32 StaticVariable_register(ParserEnv* env, u32 declId);
// Grows constantDataTable to hold needed cells (new cells zero), rebasing the
// global constants and the compile-time local constants that point into it.
void defVar_growConstantData(ParserEnv* env, u32 needed);
// Lays the value of a constant initializer out at the end of constantDataTable
// and records that index as the initializer id; returns it.
u32 Initializer_store(ParserEnv* env, AST* initializer, u32 type);
// Writes the value of expression (or the type's default when nullptr) as type
// at destination, evaluating through env->ienv.
void init_constant_value(ParserEnv* env, DataCell* destination, AST* expression, u32 type);
// Stores the initial value of a variable: its default, or its INITIALIZER_OP's value.
void Storage_storeDefaultValue(ParserEnv* env, DataCell* destination, AST* initializer, u32 type);
// Copies a value of type from source (nullptr: the default) cell by cell.
void Storage_copyInitValue(ParserEnv* env, DataCell* destination, const DataCell* source,
                           u32 type);
// Lays out and initialises every registered global, then every static, once.
void GlobalAndStaticVariables_init(ParserEnv* env);
u32 Type_getStorageSize(ParserEnv* env, u32 type);

// Global declarations in declaration order (the compilation's list).
const std::vector<u32>& defVar_globalDeclarations(ParserEnv* env);
