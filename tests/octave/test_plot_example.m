## The plotting example, off screen: it writes a PNG that shows something
## (several colours, and a fair share of pixels that are not background).
function test_plot_example ()
  warning ("off", "Octave:gnuplot-graphics");
  source_dir = getenv ("VELK_SOURCE_DIR");
  addpath (fullfile (source_dir, "examples", "octave"));
  image = velk_test_compile ("blink", fullfile (source_dir, "examples", "blink", "blink.velk"));
  png = fullfile (getenv ("VELK_TEST_WORK"), "blink.png");
  if (exist (png, "file"))
    delete (png);
  endif
  plot_blink (image, png);
  assert (exist (png, "file") == 2, "plot_blink wrote no PNG");
  pixels = imread (png);
  assert (rows (pixels) >= 100 && columns (pixels) >= 100, "the PNG is too small");
  colours = reshape (pixels, [], size (pixels, 3));
  [distinct, ~, index] = unique (colours, "rows");
  ## Background, axes and text, the blue input and the red output at least.
  assert (rows (distinct) >= 4, sprintf ("only %d colours", rows (distinct)));
  background = max (accumarray (index, 1));
  drawn = 1 - background / rows (colours);
  assert (drawn > 0.01, sprintf ("only %.2f%% of the pixels are drawn", 100 * drawn));
  red = colours(:, 1) > 200 & colours(:, 2) < 80 & colours(:, 3) < 80;
  blue = colours(:, 3) > 200 & colours(:, 1) < 80 & colours(:, 2) < 80;
  assert (any (red) && any (blue), "the input or the output curve is missing");
  printf ("test_plot_example: %s, %d colours, %.1f%% drawn\n", png, rows (distinct), 100 * drawn);
endfunction
