/* Grammar of criteria strings. "and" and "or" share one precedence level and group
   to the right; parentheses override. Pure parser over the reentrant scanner. */
%define api.pure full
%define api.prefix {criteria_yy}
%define parse.error simple

%code requires {
#include <string>
struct CriteriaParseState;
struct CriteriaNode;
}

%code provides {
int criteria_yylex(CRITERIA_YYSTYPE* lvalp, void* scanner);
}

%code top {
/* The stacks start at 200 entries and double up to 10000; deeper input fails. */
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%code {
#include "store/criteria/criteria_parse_state.h"

static void criteria_yyerror(CriteriaParseState* state, void* scanner, const char* message);
}

%parse-param { CriteriaParseState* state } { void* scanner }
%lex-param { void* scanner }

%union {
    const std::string* text;
    CriteriaNode* node;
    unsigned op;
}

%token AND OR
%token <text> VALUE IDENT
%token LT GT LE GE EQ NE
%type <node> expr
%type <op> op

%right AND OR

%%

list
    : %empty
    | list expr '\n'            { state->FinishLine($2); }
    ;

expr
    : IDENT op VALUE            { $$ = state->MakeLeaf($1, $3, $2); if (!$$) YYABORT; }
    | VALUE op IDENT            { $$ = state->MakeLeaf($3, $1, $2); if (!$$) YYABORT; }
    | expr AND expr             { $$ = state->MakeJoin($1, $3, 7); if (!$$) YYABORT; }
    | expr OR expr              { $$ = state->MakeJoin($1, $3, 8); if (!$$) YYABORT; }
    | '(' expr ')'              { $$ = $2; }
    ;

op
    : LT                        { $$ = 1; }
    | GT                        { $$ = 2; }
    | LE                        { $$ = 3; }
    | GE                        { $$ = 4; }
    | EQ                        { $$ = 5; }
    | NE                        { $$ = 6; }
    ;

%%

static void criteria_yyerror(CriteriaParseState* state, void*, const char* message) {
    /* Bison reports an exhausted stack as "memory exhausted"; we call it what it is. */
    const std::string text = message ? message : "";
    state->Fail(text == "memory exhausted" ? "yacc stack overflow" : text.c_str());
}
