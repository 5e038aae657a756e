" Vim syntax file
" Language:   zorvik (*.z)
" Install:    copy or link syntax/, ftdetect/ and ftplugin/ into ~/.vim/
"             (or add this directory to 'runtimepath').

if exists("b:current_syntax")
  finish
endif

syn case match

" Reserved words: case-sensitive, never names.
syn keyword zorvikConditional if else
syn keyword zorvikRepeat      while do for
syn keyword zorvikStatement   break return exit
syn keyword zorvikInclude     import
syn keyword zorvikLogical     and or not
syn keyword zorvikFunction    function
syn keyword zorvikReference   ref unref
syn keyword zorvikKeyword     delete extern debug
syn keyword zorvikNative      __CALL
syn keyword zorvikBuiltin     tostring tonumber length defined sizeof isnumber isstring isfunction
" Not reserved, but every function body has them.
syn keyword zorvikSelf        self this

" Digits with at most one point: 12, 3.25, 5. (1.2.3 is 1.2, '.', 3).
syn match zorvikNumber "\<\d\+\%(\.\d*\)\="

" Operators before comments: of two items that start at one place, the one
" defined last wins, so // and /* are comments, not divisions.
syn match zorvikOperator ":=\|++\|--\|[-+*/]=\=\|<>\|<=\|>=\|[<>=:]"

" No escapes; a string ends at the next double quote, on whatever line.
syn region zorvikString start=+"+ end=+"+ contains=@Spell

syn keyword zorvikTodo contained TODO FIXME XXX NOTE
syn match  zorvikLineComment "//.*$" contains=zorvikTodo,@Spell
" The end is searched after the opening /*, so /*/ does not close it.
syn region zorvikBlockComment start="/\*" end="\*/" contains=zorvikTodo,@Spell
" A first line starting with #! is skipped by the interpreter.
syn match  zorvikShebang "\%^#!.*$"

" Strings and comments may span many lines.
syn sync fromstart

hi def link zorvikConditional  Conditional
hi def link zorvikRepeat       Repeat
hi def link zorvikStatement    Statement
hi def link zorvikInclude      Include
hi def link zorvikLogical      Operator
hi def link zorvikFunction     Keyword
hi def link zorvikReference    StorageClass
hi def link zorvikKeyword      Keyword
hi def link zorvikNative       PreProc
hi def link zorvikBuiltin      Function
hi def link zorvikSelf         Special
hi def link zorvikNumber       Number
hi def link zorvikOperator     Operator
hi def link zorvikString       String
hi def link zorvikTodo         Todo
hi def link zorvikLineComment  Comment
hi def link zorvikBlockComment Comment
hi def link zorvikShebang      PreProc

let b:current_syntax = "zorvik"
