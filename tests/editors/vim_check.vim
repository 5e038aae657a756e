" Opens each sample with the zorvik Vim files on 'runtimepath' and checks the
" file type and the syntax group at the places that samples/<name>.groups
" names: lines of "line<TAB>text<TAB>group", checked at the first and the
" last character of the first occurrence of text on that line ("-" for no
" group). Writes one line per fault, then "ok" or "FAILED", to g:result.
let s:faults = []

function! s:GroupAt(line, col) abort
  let name = synIDattr(synID(a:line, a:col, 1), 'name')
  return name ==# '' ? '-' : name
endfunction

function! s:CheckSample(sample) abort
  execute 'edit!' fnameescape(a:sample)
  let base = fnamemodify(a:sample, ':t')
  if &filetype !=# 'zorvik'
    call add(s:faults, base . ": filetype is '" . &filetype . "'")
  endif
  for entry in readfile(fnamemodify(a:sample, ':r') . '.groups')
    if entry =~# '^#' || entry ==# ''
      continue
    endif
    let [lnum, text, group] = split(entry, "\t", 1)
    let start = stridx(getline(lnum), text)
    if start < 0
      call add(s:faults, base . ':' . lnum . ": no '" . text . "' on the line")
      continue
    endif
    for col in [start + 1, start + strlen(text)]
      let found = s:GroupAt(str2nr(lnum), col)
      if found !=# group
        call add(s:faults, base . ':' . lnum . ':' . col . " '" . text . "': expected " . group . ', got ' . found)
      endif
    endfor
  endfor
endfunction

for s:sample in glob(g:samples . '/*.z', 0, 1)
  call s:CheckSample(s:sample)
endfor

" An executable script without the .z extension is known by its first line.
let s:tool = tempname()
call writefile(['#!/usr/bin/env zorvik', 'x = 1;'], s:tool)
execute 'edit!' fnameescape(s:tool)
if &filetype !=# 'zorvik'
  call add(s:faults, "a script starting with '#!/usr/bin/env zorvik' has filetype '" . &filetype . "'")
endif
if s:GroupAt(1, 1) !=# 'zorvikShebang'
  call add(s:faults, 'the #! line is not zorvikShebang')
endif
call delete(s:tool)

call writefile(s:faults + [empty(s:faults) ? 'ok' : 'FAILED'], g:result)
qall!
