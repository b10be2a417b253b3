/* The VELK grammar: an LALR(1) parser whose actions call the semantic
 * routines of the def_* modules. Semantic values are u32: node ids (NO_ID for
 * an absent or failed construct), type ids, or small codes (parameter
 * direction, buffer kind, operation code). The scanner is reentrant and the
 * parser environment travels with every call. The grammar has known
 * conflicts, each resolved by bison's default (shift, or the earlier rule) as
 * the language means it; the build checks their counts (parserLib's
 * CMakeLists.txt), so that a new one cannot change how programs parse unseen.
 */
%require "3.8"
%define api.pure full
%define api.value.type {u32}
%parse-param {void* scanner} {ParserEnv* env}
%lex-param {void* scanner}

%code requires {
#include "parser_env.h"
}

%code provides {
int yylex(YYSTYPE* lvalp, void* scanner);
void yyerror(void* scanner, ParserEnv* env, const char* message);
}

%code {
#include "def_builtins.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "def_variable.h"
#include "grammar_support.h"
#include "parser_data.h"

/* Deep nesting ends in "memory exhausted" rather than exhausting the C++
   stack: the parser's own stacks live on the heap and stop growing here. */
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000

/* Value <-> node conversions for the actions. */
#define N(id) AST_fromId(env->program, (id))
#define ID(node) AST_id(env->program, (node))
#define LINE grammar_line(env, scanner)
#define NODE(op, left, right) ID(grammar_makeNode(env, scanner, (op), (left), (right)))
#define APPEND(list, element) ID(grammar_append(env, scanner, N(list), (element)))
}

/* Literals and identifiers: the value is the node id made by the scanner. */
%token INTEGER FLOAT TIME_LITERAL FREQUENCY_LITERAL STRING BOOLEAN IDENTIFIER
%token BREAK CONTINUE
/* Keywords */
%token OUT IN CONST ENUM STRUCT VAR CHANNEL QUEUE STACK FOR IF ELSE WHILE
%token PROCESS PROCESSDEF TO ON AFTER STATE STATIC COMMON FINALLY MOD LOOP
%token OVER WITH AND OR NOT LINE_MACRO HZ
/* Operators and punctuation */
%token BIT_AND BIT_OR BIT_NOT BIT_XOR SHIFT_LEFT SHIFT_RIGHT
%token ASSIGN EQ NE LE GE LT GT AT DOLLAR
%token LPAREN RPAREN LBRACE RBRACE LBRACKET RBRACKET DOT COMMA
%token PLUS MINUS STAR SLASH SEMICOLON COLON

/* Conflicts left to bison's defaults, all intended (bison reports 8
   shift/reduce and 28 reduce/reduce; an LALR grammar cannot declare expected
   reduce/reduce counts):
   - shift/reduce: the statement forms without ';' end where the next token
     cannot continue them; a token that can ('-' or '(' after an operand, an
     identifier after "(expression)", '(' after a name) continues the
     expression. "[" FREQUENCY_LITERAL "]" or "," in an instance timing is the
     frequency form of the timing.
   - reduce/reduce: a lone frequency literal as an initializer, an initializer
     element or an assigned value is that form, not the failing expression
     form: those rules come before the expressions, and the earlier rule wins. */

%start program

%%

/* ------------------------------------------------------------------------ */
/* Program forms                                                            */

program:
    parse_start external_declarations
  | parse_start DOLLAR expression
                               { grammar_setStringResult(env, N($3)); }
  | parse_start DOLLAR simple_statement
                               { grammar_setStringResult(env, N($3)); }
  | parse_start DOLLAR call_expression SEMICOLON
                               { grammar_setStringResult(env, N($3)); }
  ;

parse_start:
    %empty                     { grammar_beginParse(env); }
  ;

external_declarations:
    %empty
  | external_declarations external_declaration
                               { grammar_endDeclaration(env); }
  ;

/* Every top-level declaration lands in the current external definition list. */
external_declaration:
    IDENTIFIER header_line LPAREN parameters RPAREN SEMICOLON
      {
        AST* node = defFunc_definePrototype(env, N($1), N($4));
        grammar_setNodeLine(env, node, grammar_headerLine(env));
        defVar_clearLocals(env, N($4));
        if (node != nullptr) parser_add_external_definition(env, node);
      }
  | IDENTIFIER header_line LPAREN parameters RPAREN body
      {
        AST* node = defFunc_define(env, N($1), N($4), N($6));
        /* A function is reported at its header, not where its body ends. */
        grammar_setNodeLine(env, node, grammar_headerLine(env));
        defVar_clearLocals(env, N($4));
        if (node != nullptr) parser_add_external_definition(env, node);
      }
  | declaration
      {
        AST* node = N($1);
        if (node != nullptr && defVar_declareGlobal(env, node) != nullptr)
          parser_add_external_definition(env, node);
      }
  | PROCESSDEF process_header_line IDENTIFIER LPAREN parameters RPAREN SEMICOLON
      {
        AST* node = defProc_declareStateMachinePrototype(env, N($3), N($5));
        defVar_clearLocals(env, N($5));
        if (node != nullptr) parser_add_external_definition(env, node);
      }
  | PROCESSDEF process_header_line IDENTIFIER LPAREN parameters RPAREN LBRACE
      { defVar_makeAndDeclareProcessInstanceData(env); }
    sub_instances process_variables common_block states finally_block RBRACE
      {
        AST* node = defProc_declareStateMachine(env, N($3), N($5), N($9), N($11), N($12),
                                                N($13));
        defVar_clearLocals(env, N($5));
        defVar_clearProcessLocalImplicitVariables(env);
        defProc_clearLocalInstances(env);
        if (node != nullptr) parser_add_external_definition(env, node);
      }
  | ENUM header_line IDENTIFIER LBRACE enumerators optional_comma RBRACE SEMICOLON
      {
        AST* node = defType_declare(env, N($3)->value.id.id, TypeEnum, false, N($5),
                                    grammar_headerLine(env));
        if (node != nullptr) parser_add_external_definition(env, node);
      }
  | STRUCT header_line IDENTIFIER LBRACE fields RBRACE SEMICOLON
      {
        AST* node = defType_declare(env, N($3)->value.id.id, TypeStructure, false, N($5),
                                    grammar_headerLine(env));
        if (node != nullptr) parser_add_external_definition(env, node);
      }
  | global_instance
      { if ($1 != NO_ID) parser_add_external_definition(env, N($1)); }
  | annotated_block
      { if ($1 != NO_ID) parser_add_external_definition(env, N($1)); }
  | named_block
      { if ($1 != NO_ID) parser_add_external_definition(env, N($1)); }
  ;

header_line:
    %empty                     { grammar_recordHeaderLine(env, scanner); }
  ;

process_header_line:
    %empty
      {
        grammar_recordHeaderLine(env, scanner);
        defProc_setHeaderLine(env, grammar_headerLine(env));
      }
  ;

/* ------------------------------------------------------------------------ */
/* Parameters                                                               */

parameters:
    %empty                     { $$ = NO_ID; }
  | parameter_list
  ;

parameter_list:
    parameter                  { $$ = APPEND(NO_ID, N($1)); }
  | parameter_list COMMA parameter
                               { $$ = APPEND($1, N($3)); }
  ;

parameter:
    direction type COLON IDENTIFIER
      { $$ = ID(defParam_make(env, $2, N($4), $1)); }
  | direction buffer_kind LT type GT COLON IDENTIFIER
      {
        u32 type = defType_getBuffer(env, $2, $4, grammar_makeUnsizedSize(env, scanner));
        $$ = ID(defParam_make(env, type, N($7), $1));
      }
  | direction type COLON IDENTIFIER LBRACKET RBRACKET
      {
        u32 type = defType_getBuffer(env, ARRAY_BUFFER, $2, grammar_makeUnsizedSize(env, scanner));
        $$ = ID(defParam_make(env, type, N($4), $1));
      }
  ;

direction:
    IN                         { $$ = 0; }
  | OUT                        { $$ = 1; }
  ;

type:
    IDENTIFIER                 { $$ = grammar_lookupType(env, N($1)); }
  ;

buffer_kind:
    QUEUE                      { $$ = QUEUE_BUFFER; }
  | STACK                      { $$ = STACK_BUFFER; }
  | CHANNEL                    { $$ = CHANNEL_BUFFER; }
  ;

/* ------------------------------------------------------------------------ */
/* Structures and enumerations                                              */

enumerators:
    IDENTIFIER                 { $$ = APPEND(NO_ID, N($1)); }
  | enumerators COMMA IDENTIFIER
                               { $$ = APPEND($1, N($3)); }
  ;

optional_comma:
    %empty
  | COMMA
  ;

fields:
    field                      { $$ = APPEND(NO_ID, N($1)); }
  | fields field               { $$ = APPEND($1, N($2)); }
  ;

field:
    type COLON IDENTIFIER SEMICOLON
      { $$ = ID(defType_makeField(env, $1, N($3))); }
  | type COLON CONTINUE SEMICOLON
      { $$ = ID(defType_makeField(env, $1, N($3))); }
  | type COLON IDENTIFIER LBRACKET expression RBRACKET SEMICOLON
      {
        u32 type = defType_getBuffer(env, ARRAY_BUFFER, $1, N($5));
        $$ = ID(defType_makeField(env, type, N($3)));
      }
  | buffer_kind LT type GT COLON IDENTIFIER LBRACKET expression RBRACKET SEMICOLON
      {
        u32 type = defType_getBuffer(env, $1, $3, N($8));
        $$ = ID(defType_makeField(env, type, N($6)));
      }
  | buffer_kind LT type GT COLON IDENTIFIER SEMICOLON
      {
        grammar_fail(env, 180, "channel size not specified\n");
        $$ = NO_ID;
      }
  ;

/* ------------------------------------------------------------------------ */
/* Declarations and initializers                                            */

declaration:
    VAR type COLON IDENTIFIER SEMICOLON
      { $$ = ID(defVar_makeDefinition(env, VARIABLE_DECL_OP, $2, N($4), nullptr)); }
  | VAR type COLON IDENTIFIER ASSIGN initializer SEMICOLON
      { $$ = ID(defVar_makeDefinition(env, VARIABLE_DECL_OP, $2, N($4), N($6))); }
  | CONST type COLON IDENTIFIER ASSIGN initializer SEMICOLON
      { $$ = ID(defVar_makeDefinition(env, CONSTANT_DECL_OP, $2, N($4), N($6))); }
  | CONST type COLON IDENTIFIER SEMICOLON
      {
        grammar_failConstantWithoutInit(env, N($4));
        $$ = NO_ID;
      }
  | VAR type COLON IDENTIFIER LBRACKET expression RBRACKET SEMICOLON
      {
        u32 type = defType_getBuffer(env, ARRAY_BUFFER, $2, N($6));
        $$ = ID(defBuff_makeDefinition(env, type, N($4), N($6), nullptr, false));
      }
  | VAR type COLON IDENTIFIER LBRACKET expression RBRACKET ASSIGN initializer SEMICOLON
      {
        u32 type = defType_getBuffer(env, ARRAY_BUFFER, $2, N($6));
        $$ = ID(defBuff_makeDefinition(env, type, N($4), N($6), N($9), false));
      }
  | CONST type COLON IDENTIFIER LBRACKET expression RBRACKET ASSIGN initializer SEMICOLON
      {
        u32 type = defType_getBuffer(env, ARRAY_BUFFER, $2, N($6));
        $$ = ID(defBuff_makeDefinition(env, type, N($4), N($6), N($9), true));
      }
  | CONST type COLON IDENTIFIER LBRACKET expression RBRACKET SEMICOLON
      {
        grammar_failConstantWithoutInit(env, N($4));
        $$ = NO_ID;
      }
  | VAR buffer_kind LT type GT COLON IDENTIFIER LBRACKET expression RBRACKET SEMICOLON
      {
        u32 type = defType_getBuffer(env, $2, $4, N($9));
        $$ = ID(defBuff_makeDefinition(env, type, N($7), N($9), nullptr, false));
      }
  | VAR buffer_kind LT type GT COLON IDENTIFIER LBRACKET expression RBRACKET ASSIGN initializer
    SEMICOLON
      {
        u32 type = defType_getBuffer(env, $2, $4, N($9));
        $$ = ID(defBuff_makeDefinition(env, type, N($7), N($9), N($12), false));
      }
  | CONST buffer_kind LT type GT COLON IDENTIFIER LBRACKET expression RBRACKET ASSIGN initializer
    SEMICOLON
      {
        grammar_fail(env, 124, "constant channel not allowed\n");
        $$ = NO_ID;
      }
  | VAR buffer_kind LT type GT COLON IDENTIFIER SEMICOLON
      {
        grammar_fail(env, 180, "channel size not specified\n");
        $$ = NO_ID;
      }
  | VAR buffer_kind LT type GT COLON IDENTIFIER ASSIGN initializer SEMICOLON
      {
        grammar_fail(env, 180, "channel size not specified\n");
        $$ = NO_ID;
      }
  ;

/* Placed before the expressions: a lone frequency literal here is an
   initializer (the reduce/reduce conflict goes to the earlier rule). */
initializer:
    FREQUENCY_LITERAL          { $$ = ID(defVar_makeInitializer(env, N($1))); }
  | expression                 { $$ = ID(defVar_makeInitializer(env, N($1))); }
  | LBRACE RBRACE              { $$ = ID(defVar_makeInitializer(env, nullptr)); }
  | LBRACE initializer_elements RBRACE
                               { $$ = ID(defVar_makeInitializer(env, N($2))); }
  ;

initializer_elements:
    initializer_element
      { $$ = ID(grammar_appendCell(env, scanner, nullptr, N($1))); }
  | initializer_elements COMMA initializer_element
      { $$ = ID(grammar_appendCell(env, scanner, N($1), N($3))); }
  ;

initializer_element:
    FREQUENCY_LITERAL
  | expression
  | LBRACE initializer_elements RBRACE
                               { $$ = $2; }
  | LBRACE RBRACE              { $$ = NO_ID; }
  ;

/* The value may be any initializer form; a plain expression is passed as it is. */
assignment:
    unary_expression ASSIGN assigned_value
      { $$ = ID(defExpr_makeAssignment(env, N($1), N($3))); }
  ;

assigned_value:
    FREQUENCY_LITERAL          { $$ = ID(defVar_makeInitializer(env, N($1))); }
  | expression
  | LBRACE RBRACE              { $$ = ID(defVar_makeInitializer(env, nullptr)); }
  | LBRACE initializer_elements RBRACE
                               { $$ = ID(defVar_makeInitializer(env, N($2))); }
  ;

/* ------------------------------------------------------------------------ */
/* Processes                                                                */

sub_instances:
    %empty                     { $$ = NO_ID; }
  | sub_instances PROCESS IDENTIFIER COLON IDENTIFIER SEMICOLON
      {
        AST* instance = defProc_makeInstance(env, N($3), N($5));
        if (instance != nullptr) defProc_declareLocalInstance(env, instance);
        $$ = APPEND($1, instance);
      }
  ;

process_variables:
    %empty
  | process_variables STATIC declaration
      {
        AST* decl = N($3);
        if (decl != nullptr && defProc_addStaticVariable(env, decl) != nullptr)
          defVar_declareStatic(env, decl);
      }
  | process_variables declaration
      {
        AST* decl = N($2);
        if (decl != nullptr && defProc_addVariable(env, decl) != nullptr)
          defVar_declareLocal(env, decl);
      }
  ;

common_block:
    %empty                     { $$ = NO_ID; }
  | COMMON block               { $$ = $2; }
  ;

finally_block:
    %empty                     { $$ = NO_ID; }
  | FINALLY block              { $$ = $2; }
  ;

states:
    state                      { $$ = APPEND(NO_ID, N($1)); }
  | states state               { $$ = APPEND($1, N($2)); }
  ;

/* The state's name becomes an enumerator of Process_State and a local State
   variable as soon as it is read, so that the body can refer to it. */
state:
    STATE IDENTIFIER
      {
        u32 stateType = grammar_processStateType(env);
        if (stateType != NO_ID) defType_add_enum(env, stateType, N($2));
        $$ = ID(defVar_makeAndDeclareStateDefinition(env, N($2)));
      }
    body transitions
      { $$ = ID(process_makeState(env, N($3), N($4), N($5))); }
  ;

transitions:
    %empty                     { $$ = NO_ID; }
  | transitions transition     { $$ = APPEND($1, N($2)); }
  ;

transition:
    ON LPAREN expression RPAREN optional_body transition_target
      { $$ = ID(defProc_makeTransition(env, ON_OP, N($6), N($3), nullptr, N($5))); }
  | AFTER LPAREN expression RPAREN optional_body transition_target
      { $$ = ID(defProc_makeTransition(env, AFTER_OP, N($6), nullptr, N($3), N($5))); }
  | AFTER LPAREN expression RPAREN IF LPAREN expression RPAREN optional_body transition_target
      { $$ = ID(defProc_makeTransition(env, AFTER_OP, N($10), N($7), N($3), N($9))); }
  ;

transition_target:
    TO IDENTIFIER SEMICOLON    { $$ = $2; }
  ;

optional_body:
    %empty                     { $$ = NO_ID; }
  | body
  ;

/* process definition : instance [timing] [timing][condition] (arguments); */
global_instance:
    PROCESS IDENTIFIER COLON IDENTIFIER global_instance_implicit
    LPAREN arguments RPAREN SEMICOLON
      {
        $$ = ID(defProc_defineGlobalInstance(env, N($2), N($4), nullptr, nullptr, N($7)));
      }
  | PROCESS IDENTIFIER COLON IDENTIFIER global_instance_implicit timing
    LPAREN arguments RPAREN SEMICOLON
      {
        $$ = ID(defProc_defineGlobalInstance(env, N($2), N($4), N($6), nullptr, N($8)));
      }
  | PROCESS IDENTIFIER COLON IDENTIFIER global_instance_implicit timing
    LBRACKET expression RBRACKET LPAREN arguments RPAREN SEMICOLON
      {
        $$ = ID(defProc_defineGlobalInstance(env, N($2), N($4), N($6), N($8), N($11)));
      }
  ;

/* The instance's implicit Process_Instance variable exists before its timing,
   condition and arguments are read. $0 is the instance name. */
global_instance_implicit:
    %empty                     { defProc_define_global_process_implicit(env, N($0)); }
  ;

timing:
    LBRACKET RBRACKET          { $$ = NO_ID; }
  | LBRACKET expression RBRACKET
      { $$ = ID(AST_makeList1(env->program, N($2), LINE)); }
  | LBRACKET expression COMMA expression RBRACKET
      { $$ = ID(AST_makeList2(env->program, N($2), N($4), LINE)); }
  | LBRACKET FREQUENCY_LITERAL RBRACKET
      { $$ = ID(AST_makeList1(env->program, N($2), LINE)); }
  | LBRACKET FREQUENCY_LITERAL COMMA expression RBRACKET
      { $$ = ID(AST_makeList2(env->program, N($2), N($4), LINE)); }
  ;

/* ------------------------------------------------------------------------ */
/* Expressions, loosest binding first                                       */

expression:
    or_expression
  ;

or_expression:
    and_expression
  | or_expression OR and_expression
      { $$ = ID(defExpr_makeLogicalOp(env, OR_OP, N($1), N($3))); }
  ;

and_expression:
    bit_or_expression
  | and_expression AND bit_or_expression
      { $$ = ID(defExpr_makeLogicalOp(env, AND_OP, N($1), N($3))); }
  ;

bit_or_expression:
    bit_xor_expression
  | bit_or_expression BIT_OR bit_xor_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, BIT_OR_OP, N($1), N($3))); }
  ;

bit_xor_expression:
    bit_and_expression
  | bit_xor_expression BIT_XOR bit_and_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, BIT_XOR_OP, N($1), N($3))); }
  ;

/* The right operand of '&' is a single comparison at most: a & b == c is
   a & (b == c). */
bit_and_expression:
    equality_chain
  | bit_and_expression BIT_AND equality
      { $$ = ID(defExpr_makeArithmeticOp(env, BIT_AND_OP, N($1), N($3))); }
  ;

/* a == b == c: from the third operand on, the chain routine links each new
   operand to the previous one. */
equality_chain:
    equality
  | equality_comparison equality_operator relational_chain
      { $$ = ID(defExpr_makeMultipleEqualityExpression(env, $2, N($1), N($3))); }
  | equality_chain_2 equality_operator relational_chain
      { $$ = ID(defExpr_makeMultipleEqualityExpression(env, $2, N($1), N($3))); }
  ;

/* A chain of three operands or more, continued by equality_chain. */
equality_chain_2:
    equality_comparison equality_operator relational_chain
      { $$ = ID(defExpr_makeMultipleEqualityExpression(env, $2, N($1), N($3))); }
  | equality_chain_2 equality_operator relational_chain
      { $$ = ID(defExpr_makeMultipleEqualityExpression(env, $2, N($1), N($3))); }
  ;

equality:
    relational_chain
  | equality_comparison
  ;

equality_comparison:
    relational_chain equality_operator relational_chain
      { $$ = ID(defExpr_makeLogicalOp(env, $2, N($1), N($3))); }
  ;

equality_operator:
    EQ                         { $$ = CEQ_OP; }
  | NE                         { $$ = CNE_OP; }
  ;

relational_chain:
    relational
  | relational_chain_3
  ;

relational_chain_3:
    relational_comparison relational_operator shift_expression
      { $$ = ID(defExpr_makeMultipleRelationalExpression(env, $2, N($1), N($3))); }
  | relational_chain_3 relational_operator shift_expression
      { $$ = ID(defExpr_makeMultipleRelationalExpression(env, $2, N($1), N($3))); }
  ;

relational:
    shift_expression
  | relational_comparison
  ;

relational_comparison:
    shift_expression relational_operator shift_expression
      { $$ = ID(defExpr_makeLogicalOp(env, $2, N($1), N($3))); }
  ;

relational_operator:
    LT                         { $$ = LT_OP; }
  | GT                         { $$ = GT_OP; }
  | GE                         { $$ = CGE_OP; }
  | LE                         { $$ = CLE_OP; }
  ;

shift_expression:
    additive_expression
  | shift_expression SHIFT_LEFT additive_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, BIT_LSHIFT_OP, N($1), N($3))); }
  | shift_expression SHIFT_RIGHT additive_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, BIT_RSHIFT_OP, N($1), N($3))); }
  ;

additive_expression:
    multiplicative_expression
  | additive_expression PLUS multiplicative_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, PLUS_OP, N($1), N($3))); }
  | additive_expression MINUS multiplicative_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, MINUS_OP, N($1), N($3))); }
  ;

multiplicative_expression:
    unary_expression
  | multiplicative_expression STAR unary_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, MUL_OP, N($1), N($3))); }
  | multiplicative_expression SLASH unary_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, DIV_OP, N($1), N($3))); }
  | multiplicative_expression MOD unary_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, MOD_OP, N($1), N($3))); }
  ;

unary_expression:
    postfix_expression
  | MINUS unary_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, NEG_OP, N($2), nullptr)); }
  | NOT unary_expression
      { $$ = ID(defExpr_makeLogicalOp(env, NOT_OP, N($2), nullptr)); }
  | BIT_NOT unary_expression
      { $$ = ID(defExpr_makeArithmeticOp(env, BIT_NOT_OP, N($2), nullptr)); }
  | STATE IDENTIFIER           { $$ = $2; }
  ;

postfix_expression:
    primary_expression
  | postfix_expression LBRACKET expression RBRACKET
      { $$ = ID(defBuff_makeArrayCall(env, N($1), N($3))); }
  | LPAREN expression RPAREN IDENTIFIER
      { $$ = ID(defStmt_makePostSymbolCall(env, N($2), N($4))); }
  | TIME_LITERAL
  ;

call_expression:
    IDENTIFIER LPAREN arguments RPAREN
      { $$ = ID(make_function_call(env, N($1), N($3))); }
  | postfix_expression DOT IDENTIFIER LPAREN arguments RPAREN
      { $$ = ID(builtinMtd_makeCall(env, N($1), N($3), N($5))); }
  ;

primary_expression:
    call_expression
  | postfix_expression DOT IDENTIFIER
      { $$ = ID(defExpr_makeFieldCall(env, N($1), N($3))); }
  | postfix_expression DOT CONTINUE
      { $$ = ID(defExpr_makeFieldCall(env, N($1), N($3))); }
  | IDENTIFIER                 { $$ = ID(defVar_makeAccess(env, N($1))); }
  | INTEGER
  | STRING
  | FLOAT
  | BOOLEAN
  | LPAREN expression RPAREN   { $$ = $2; }
  | LINE_MACRO                 { $$ = ID(grammar_makeLineLiteral(env, scanner)); }
  | FREQUENCY_LITERAL
      {
        grammar_fail(env, 222, "Frequency cannot be used in conventional expression\n");
        $$ = NO_ID;
      }
  ;

arguments:
    %empty                     { $$ = NO_ID; }
  | argument_list
  ;

argument_list:
    expression                 { $$ = ID(grammar_appendCell(env, scanner, nullptr, N($1))); }
  | argument_list COMMA expression
      { $$ = ID(grammar_appendCell(env, scanner, N($1), N($3))); }
  ;

/* ------------------------------------------------------------------------ */
/* Blocks and statements                                                    */

body:
    block
  | named_block
  | annotated_block
  ;

block:
    LBRACE block_declarations statements RBRACE
      {
        $$ = NODE(BLOCK, N($2), N($3));
        defVar_clearLocals(env, N($2));
      }
  ;

/* Each local is in scope from its own declaration on. */
block_declarations:
    %empty                     { $$ = NO_ID; }
  | block_declarations declaration
      {
        AST* decl = N($2);
        if (decl != nullptr && defVar_declareLocal(env, decl) != nullptr)
          $$ = APPEND($1, decl);
      }
  | block_declarations STATIC declaration
      {
        grammar_fail(env, 191, "static declaration not allowed in this scope");
        $$ = $1;
      }
  ;

named_block:
    IDENTIFIER COLON
      { $$ = ID(defVar_makeAndDeclareNamedBlockDefinition(env, N($1))); }
    block
      { $$ = ID(makeNamedBlock(env, N($3), N($4))); }
  ;

annotated_block:
    AT annotation_path block   { $$ = ID(defineAnnotation(env, N($2), N($3))); }
  ;

annotation_path:
    IDENTIFIER                 { $$ = APPEND(NO_ID, N($1)); }
  | annotation_path COLON IDENTIFIER
                               { $$ = APPEND($1, N($3)); }
  ;

statements:
    %empty                     { $$ = NO_ID; }
  | statements statement       { $$ = APPEND($1, N($2)); }
  ;

statement:
    simple_statement
  | call_statement
  ;

/* A call closes its statement with ';'. In string mode a call without ';' is
   the expression form, so the call statement stays out of the string-mode
   statement alternatives. */
call_statement:
    call_expression SEMICOLON
  | call_expression
      {
        grammar_fail(env, 50, "expect ';' after statement\n");
        $$ = $1;
      }
  ;

simple_statement:
    assignment SEMICOLON
  | assignment
      {
        grammar_fail(env, 50, "expect ';' after assignment\n");
        $$ = $1;
      }
  | if_statement
  | WHILE LPAREN expression RPAREN block
      { $$ = NODE(WHILE_OP, N($3), N($5)); }
  | FOR LPAREN assignment SEMICOLON expression SEMICOLON assignment RPAREN body
      {
        AST* parts = AST_makeList3(env->program, N($3), N($5), N($7), LINE);
        $$ = NODE(FOR_OP, parts, N($9));
      }
  | LOOP OVER postfix_expression WITH IDENTIFIER
      { $$ = ID(defIter_makeDeclaration(env, N($5), N($3))); }
    block
      {
        $$ = NODE(LOOP_OVER_OP, N($6), N($7));
        defVar_clearLocals(env, N($6));
      }
  | BREAK SEMICOLON            { $$ = NODE(BREAK_OP, nullptr, nullptr); }
  | CONTINUE SEMICOLON         { $$ = NODE(CONTINUE_OP, nullptr, nullptr); }
  | body
  ;

if_statement:
    IF LPAREN expression RPAREN block
      {
        AST* branches = AST_makeList2(env->program, N($5), nullptr, LINE);
        $$ = NODE(IF_OP, N($3), branches);
      }
  | IF LPAREN expression RPAREN block ELSE block
      {
        AST* branches = AST_makeList2(env->program, N($5), N($7), LINE);
        $$ = NODE(IF_OP, N($3), branches);
      }
  | IF LPAREN expression RPAREN block ELSE if_statement
      {
        AST* branches = AST_makeList2(env->program, N($5), N($7), LINE);
        $$ = NODE(IF_OP, N($3), branches);
      }
  ;

%%
