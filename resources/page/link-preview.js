(function () {
  'use strict';
  var pop = document.getElementById('pop');
  if (!pop) return;

  var GAP = 8;
  var EDGE = 8;
  var MIN_HEIGHT = 120;

  // A stray "%" in an id must not stop the preview: fall back to the text as written.
  function targetOf(href) {
    var raw = href.charAt(0) === '#' ? href.slice(1) : href;
    var decoded = raw;
    try { decoded = decodeURIComponent(raw); } catch (e) { decoded = raw; }
    return document.getElementById(decoded) || document.getElementById(raw);
  }

  function place(link) {
    var r = link.getBoundingClientRect();
    var below = window.innerHeight - r.bottom - GAP - EDGE;
    var above = r.top - GAP - EDGE;
    var height = pop.offsetHeight;
    var goBelow = height <= below || below >= above;
    var room = goBelow ? below : above;
    if (height > room) {
      pop.style.maxHeight = Math.max(room, MIN_HEIGHT) + 'px';
      pop.classList.add('clip');
      height = pop.offsetHeight;
    }
    var right = window.innerWidth - pop.offsetWidth - 2 * EDGE;
    pop.style.left = Math.max(2 * EDGE, Math.min(r.left, right)) + 'px';
    pop.style.top = (goBelow ? r.bottom + GAP : r.top - GAP - height) + 'px';
  }

  function show(link) {
    var target = targetOf(link.getAttribute('href') || '');
    if (!target) return;
    pop.innerHTML = target.innerHTML;
    pop.style.maxHeight = '';
    pop.classList.remove('clip');
    pop.hidden = false;
    place(link);
  }

  function hide() {
    pop.hidden = true;
  }

  document.querySelectorAll('a.m').forEach(function (link) {
    var open = function () { show(link); };
    link.addEventListener('mouseenter', open);
    link.addEventListener('focus', open);
    link.addEventListener('mouseleave', hide);
    link.addEventListener('blur', hide);
    link.addEventListener('click', hide);
  });
  window.addEventListener('scroll', hide, { capture: true, passive: true });
})();
