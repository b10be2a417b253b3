" Vim syntax file
" Language:    VELK (models of real-time embedded software)
" Filenames:   *.velk
" Install:     copy syntax/velk.vim and ftdetect/velk.vim under ~/.vim/

if exists("b:current_syntax")
  finish
endif

" Identifiers may contain # (a#b is one name).
setlocal iskeyword=@,48-57,_,#,192-255

syntax keyword velkConditional else if
syntax keyword velkRepeat for loop over while with
syntax keyword velkStatement after break continue on to
syntax keyword velkStructure common enum finally process processdef state
syntax keyword velkStructure struct
syntax keyword velkStorageClass const in out static var
syntax keyword velkInclude include
syntax keyword velkOperatorWord and mod not or
syntax keyword velkBuffer channel queue stack
syntax keyword velkType Any Array Channel Enumeration Float Iterator
syntax keyword velkType Named_Block Natural Primitive Signed_Integer State
syntax keyword velkType Statement Structure Type bool float32 float64 int16
syntax keyword velkType int32 int64 int8 time64 uint16 uint32 uint64 uint8
syntax keyword velkSystem FIFO IO NPEDF NPFP Process_Instance Process_State
syntax keyword velkSystem Scheduling_Policy System self system
syntax keyword velkBoolean false true
syntax keyword velkLine __LINE__
syntax keyword velkBuiltin abs as assert atan cast choice_uniform clear cos
syntax keyword velkBuiltin count exit insert_sorted isEmpty isFull is_empty
syntax keyword velkBuiltin is_full lastPeek last_peek log max maxSize min
syntax keyword velkBuiltin notEmpty notFull not_empty not_full peek pop pow
syntax keyword velkBuiltin print println push rand_exponential rand_gauss
syntax keyword velkBuiltin rand_pareto rand_uniform removeCurrent
syntax keyword velkBuiltin remove_current seed sin sleep sqrt sync syncIO time
syntax keyword velkField FIRST LAST bcet current current_activation deadline
syntax keyword velkField duration execution_time index initializing
syntax keyword velkField instance_id is_last jitter max_size next_activations
syntax keyword velkField offset period pid previous_activation priority
syntax keyword velkField process_state processes sched_policy state_ptr wcet

syntax match velkFrequency "\<\d\+\(\.\d\+\)\=[ \t]*Hz\>"
syntax match velkTime "\<\(\d\+[ \t]*\(ps\|ns\|us\|µs\|ms\|s\)\>[ \t]*\)\+"
syntax match velkNumber "\<\d\+\>"
syntax match velkNumber "\<0x\x\+\>"
syntax match velkFloat "\<\d\+\.\d\+\([eE][+-]\=\d\+\)\=\>"
syntax match velkFloat "\<\d\+[eE][+-]\=\d\+\>"
syntax match velkAnnotation "@\h[[:alnum:]_#]*\(:\h[[:alnum:]_#]*\)*"
syntax match velkFormat "%[%bcdfistux]" contained
syntax match velkEscape "\\." contained
syntax region velkString start=+"+ skip=+\\.+ end=+"+ contains=velkFormat,velkEscape
syntax region velkComment start="/\*" end="\*/" contains=@Spell

highlight default link velkConditional Conditional
highlight default link velkRepeat Repeat
highlight default link velkStatement Statement
highlight default link velkStructure Structure
highlight default link velkStorageClass StorageClass
highlight default link velkInclude Include
highlight default link velkOperatorWord Operator
highlight default link velkBuffer Type
highlight default link velkType Type
highlight default link velkSystem Constant
highlight default link velkBoolean Boolean
highlight default link velkLine Constant
highlight default link velkBuiltin Function
highlight default link velkField Identifier
highlight default link velkFrequency Number
highlight default link velkTime Number
highlight default link velkNumber Number
highlight default link velkFloat Float
highlight default link velkAnnotation PreProc
highlight default link velkFormat SpecialChar
highlight default link velkEscape SpecialChar
highlight default link velkString String
highlight default link velkComment Comment

let b:current_syntax = "velk"
