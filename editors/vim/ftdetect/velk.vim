" Files ending in .velk are VELK models.
autocmd BufRead,BufNewFile *.velk setfiletype velk
