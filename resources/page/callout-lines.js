(function () {
  'use strict';
  var SVG = 'http://www.w3.org/2000/svg';
  var NARROW = 760;
  var SPACING = 8;
  var LINE_DROP = 18;
  var DOT_RADIUS = 3;
  var blocks = Array.prototype.slice.call(document.querySelectorAll('.callouts'));

  function marksOf(block) {
    var marks = new Map();
    block.querySelectorAll('.mk[data-n]').forEach(function (mark) {
      var n = mark.getAttribute('data-n');
      if (!marks.has(n)) marks.set(n, mark);
    });
    return marks;
  }

  function numbered(container) {
    return Array.prototype.slice.call(container.querySelectorAll('.co[data-n]'));
  }

  // Each callout moves down to the level of its mark, never above the one before it.
  function spread(column, marks, top) {
    var floor = 0;
    numbered(column).forEach(function (callout) {
      var mark = marks.get(callout.getAttribute('data-n'));
      if (!mark) return;
      var m = mark.getBoundingClientRect();
      var height = callout.getBoundingClientRect().height;
      var wanted = m.top + m.height / 2 - height / 2 - top;
      var placed = Math.max(floor, wanted);
      callout.style.marginTop = Math.max(0, placed - floor) + 'px';
      floor = placed + height + SPACING;
    });
  }

  // Chromium keeps laying out the content of a closed details element (so
  // that find-in-page can reach it), so having boxes does not mean shown.
  // The closed box is asked first: asking for boxes lays the whole page out,
  // and a large plan has thousands of closed strings boxes.
  function displayed(block) {
    return !inClosedBox(block) && block.getClientRects().length > 0;
  }

  // A strings box holds its block directly: its own state answers at once,
  // where a search up the page costs a large plan's load tens of
  // milliseconds over thousands of closed boxes.
  function inClosedBox(block) {
    var parent = block.parentElement;
    if (parent instanceof HTMLDetailsElement && !parent.open) return true;
    return !!block.closest('details:not([open])');
  }

  function svgElement(name, attributes) {
    var element = document.createElementNS(SVG, name);
    Object.keys(attributes).forEach(function (key) {
      element.setAttribute(key, String(attributes[key]));
    });
    return element;
  }

  function join(overlay, callout, mark, box) {
    var c = callout.getBoundingClientRect();
    var m = mark.getBoundingClientRect();
    var left = callout.getAttribute('data-side') === 'l';
    var x1 = (left ? c.right : c.left) - box.left;
    var y1 = c.top + LINE_DROP - box.top;
    var x2 = (left ? m.left : m.right) - box.left;
    var y2 = m.top + m.height / 2 - box.top;
    var mx = (x1 + x2) / 2;
    var kind = callout.classList.contains('need') ? 'need' : 'ok';
    overlay.appendChild(svgElement('path', {
      d: 'M' + x1 + ' ' + y1 + ' C' + mx + ' ' + y1 + ' ' + mx + ' ' + y2 + ' ' + x2 + ' ' + y2,
      'class': kind
    }));
    overlay.appendChild(svgElement('circle', { cx: x2, cy: y2, r: DOT_RADIUS, 'class': kind }));
  }

  // A block not shown now and not drawn before is left untouched: a large
  // plan has thousands, nearly all in closed boxes.
  var drawnBlocks = new Set();

  function draw(block) {
    if (!drawnBlocks.has(block) && inClosedBox(block)) return;
    var overlay = block.querySelector(':scope > .co-lines');
    var shown = !!overlay && window.innerWidth > NARROW && displayed(block);
    if (!shown && !drawnBlocks.has(block)) return;
    var callouts = numbered(block);
    while (overlay.firstChild) overlay.removeChild(overlay.firstChild);
    callouts.forEach(function (callout) { callout.style.marginTop = ''; });
    if (!shown) {
      drawnBlocks.delete(block);
      return;
    }
    drawnBlocks.add(block);

    var marks = marksOf(block);
    var top = block.getBoundingClientRect().top;
    ['l', 'r'].forEach(function (side) {
      var column = block.querySelector(':scope > .co-col.' + side);
      if (column) spread(column, marks, top);
    });

    var box = block.getBoundingClientRect();
    overlay.setAttribute('width', String(box.width));
    overlay.setAttribute('height', String(box.height));
    overlay.style.width = box.width + 'px';
    overlay.style.height = box.height + 'px';
    callouts.forEach(function (callout) {
      var mark = marks.get(callout.getAttribute('data-n'));
      if (mark) join(overlay, callout, mark, box);
    });
  }

  function drawAll() {
    blocks.forEach(draw);
  }

  drawAll();
  // The pictures and web fonts change the layout as they come; the load
  // event would wait for a graph library or font host that does not answer.
  document.addEventListener('DOMContentLoaded', drawAll);
  if (document.fonts) document.fonts.addEventListener('loadingdone', drawAll);
  window.addEventListener('resize', drawAll);
  // Heard once, on the way down to the picture or box, rather than with a
  // listener on each of a large plan's thousands.
  document.addEventListener('load', function (event) {
    var image = event.target;
    if (!(image instanceof HTMLImageElement) || !image.closest('.co-img')) return;
    var block = image.closest('.callouts');
    if (block) draw(block);
  }, true);
  document.querySelectorAll('.ptabs button').forEach(function (button) {
    button.addEventListener('click', drawAll);
  });
  document.addEventListener('toggle', function (event) {
    var details = event.target;
    if (details instanceof HTMLDetailsElement && details.classList.contains('strings')) {
      details.querySelectorAll('.callouts').forEach(draw);
    }
  }, true);
})();
