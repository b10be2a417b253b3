% plot_blink(image)
% plot_blink(image, pngFile)
%
% Runs the blink model with velk_run and plots its enable input and its LED
% output over time. IMAGE is the model compiled by velk_parser:
%
%   velk_parser examples/blink/blink.velk blink.ast
%
% The enable input is on from 0 s, off from 1.2 s and on again from 2 s
% (a [time, value] signal, held from row to row); the run stops at 3 s. With
% PNGFILE the figure is drawn off screen and written to that file, so no
% display is needed. Runs in Octave and MATLAB alike; velk_run and its
% console trace are described in docs/octave.md.
function plot_blink(image, pngFile)
  enable = [0 1; 1.2 0; 2 1];
  stopTime = 3;
  % evalc keeps the model's trace lines off the console.
  evalc('[t, y, names] = velk_run(image, ''StopTime'', stopTime, ''InputSignals'', enable);');
  led = y(:, strcmp(names, 'led_out'));

  offScreen = nargin > 1;
  if offScreen
    fig = figure('visible', 'off');
  else
    fig = figure();
  end

  subplot(2, 1, 1);
  stairs([enable(:, 1); stopTime], [enable(:, 2); enable(end, 2)], 'b', 'LineWidth', 2);
  axis([0 stopTime -0.2 1.2]);
  ylabel('enable_in', 'Interpreter', 'none');
  title('blink: enable input and LED output');

  subplot(2, 1, 2);
  stairs([t; stopTime], [led; led(end)], 'r', 'LineWidth', 2);
  hold on;
  plot(t, led, 'ko');  % the block's hits
  hold off;
  axis([0 stopTime -0.2 1.2]);
  xlabel('time (s)');
  ylabel('led_out', 'Interpreter', 'none');

  if offScreen
    print(fig, '-dpng', '-r90', pngFile);
    close(fig);
  end
end
