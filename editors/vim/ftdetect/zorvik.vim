" zorvik scripts: *.z files, and executable scripts whose first line names zorvik.
autocmd BufRead,BufNewFile *.z setfiletype zorvik
autocmd BufRead,BufNewFile * if getline(1) =~# '^#!.*\<zorvik\>' | setfiletype zorvik | endif
