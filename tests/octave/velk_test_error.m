## velk_test_error (call, identifier, message)
## Calls CALL (a function handle) and checks that it raises the error with
## exactly this identifier and message.
function velk_test_error (call, identifier, message)
  try
    evalc ("call ();");
  catch err
    if (! strcmp (err.identifier, identifier) || ! strcmp (err.message, message))
      error ("velk_test:error", "expected error %s: <%s>\n     got error %s: <%s>", ...
             identifier, message, err.identifier, err.message);
    endif
    return;
  end_try_catch
  error ("velk_test:error", "no error raised, expected %s: <%s>", identifier, message);
endfunction
